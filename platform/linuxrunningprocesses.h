#pragma once

#include "platform/runningprocesses.h"
#include "platform/uniquefd.h"

#include <QMutex>

#include <unordered_map>

// The processes of this machine, from /proc (or from a folder laid out like it).
//
// A snapshot reads one stat file per process, every second. Opening it costs as
// much as reading it, so list() keeps the stat files of the processes it saw
// open for the next snapshot, up to a quarter of the descriptors the process
// may have. A file kept open stays with its process: once that ends, reading
// it fails and the pid is looked up afresh.
class LinuxRunningProcesses : public RunningProcesses
{
public:
    explicit LinuxRunningProcesses(const QString &procRoot = QStringLiteral("/proc"));
    ~LinuxRunningProcesses() override;

    bool list(QList<ProcStat> *processes) const override;
    int stat(quint32 pid, ProcStat *stat) const override;
    int executablePath(quint32 pid, QByteArray *path) const override;
    int imageIdentity(quint32 pid, ImageIdentity *identity) const override;
    QString imagePath(quint32 pid) const override;

    // Stat files kept open for the next snapshot.
    int heldStatFiles() const;

private:
    QByteArray entryPath(quint32 pid, const char *entry) const;

    QByteArray m_root;
    const size_t m_maxHeld;
    mutable QMutex m_mutex; // one snapshot at a time
    mutable std::unordered_map<quint32, UniqueFd> m_statFiles;
};
