#pragma once

#include "platform/linuxrunningprocesses.h"

#include <QHash>
#include <QList>
#include <QMutex>

#include <functional>
#include <optional>

// The machine's processes as a test wants them seen; installs itself for its
// lifetime. By default everything is the real machine's; each setter changes
// one kind of look-up.
class FakeRunningProcesses : public RunningProcesses
{
public:
    FakeRunningProcesses();
    ~FakeRunningProcesses() override;

    // A process as a snapshot lists it.
    static ProcStat process(quint32 pid, const QByteArray &name, quint32 parentPid,
                            char state = 'S', quint64 flags = 0);

    // list() gives exactly these processes.
    void setSnapshot(const QList<ProcStat> &processes);
    // list() gives the real processes whose parent is this one (the test's
    // children), so a test sees its own processes come and go and nothing else.
    void listOwnChildren();
    // list() fails, as when /proc cannot be read.
    void setListFails(bool fails);
    int listCalls() const;

    // The start times stat() reports for pid, one per call; the last repeats.
    void setStartTimes(quint32 pid, const QList<quint64> &startTimes);
    // imageIdentity() for pid fails with this errno value.
    void setImageError(quint32 pid, int error);
    // Runs on the caller's thread before each imageIdentity() for pid; may block.
    void setImageHook(quint32 pid, std::function<void(int call)> hook);
    int imageCalls(quint32 pid) const;

    bool list(QList<ProcStat> *processes) const override;
    int stat(quint32 pid, ProcStat *stat) const override;
    int executablePath(quint32 pid, QByteArray *path) const override;
    int imageIdentity(quint32 pid, ImageIdentity *identity) const override;
    QString imagePath(quint32 pid) const override;

private:
    LinuxRunningProcesses m_linux;
    mutable QMutex m_mutex;
    std::optional<QList<ProcStat>> m_snapshot;
    bool m_ownChildren = false;
    bool m_listFails = false;
    mutable int m_listCalls = 0;
    mutable QHash<quint32, QList<quint64>> m_startTimes;
    QHash<quint32, int> m_imageErrors;
    QHash<quint32, std::function<void(int)>> m_imageHooks;
    mutable QHash<quint32, int> m_imageCalls;
};
