#pragma once

#include "platform/runningprocesses.h"

// The processes of this machine, from /proc (or from a folder laid out like it).
class LinuxRunningProcesses : public RunningProcesses
{
public:
    explicit LinuxRunningProcesses(const QString &procRoot = QStringLiteral("/proc"));

    bool list(QList<ProcStat> *processes) const override;
    int stat(quint32 pid, ProcStat *stat) const override;
    int executablePath(quint32 pid, QByteArray *path) const override;
    int imageIdentity(quint32 pid, ImageIdentity *identity) const override;
    QString imagePath(quint32 pid) const override;

private:
    QByteArray entryPath(quint32 pid, const char *entry) const;

    QByteArray m_root;
};
