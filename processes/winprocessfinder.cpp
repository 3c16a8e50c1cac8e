#include "processes/winprocessfinder.h"

#include "platform/runningprocesses.h"
#include "processes/processrecord.h"

#include <QDebug>
#include <QElapsedTimer>

WinProcessFinder::WinProcessFinder() = default;

QList<QString> WinProcessFinder::getProcesses(bool *ok) const
{
    QList<QString> records;
    QList<ProcStat> processes;
    const bool listed = RunningProcesses::instance().list(&processes);
    if (ok)
        *ok = listed;
    if (!listed)
        return records;
    records.reserve(processes.size());
    for (const ProcStat &process : std::as_const(processes)) {
        if (process.isKernelThread() || process.isZombie())
            continue;
        records.append(ProcessRecord::pack(process.pid, process.displayName(), process.parentPid));
    }
    return records;
}

void WinProcessFinder::run()
{
    QElapsedTimer timer;
    timer.start();
    bool ok = false;
    const QList<QString> snapshot = getProcesses(&ok);
    // A failed snapshot is not an empty machine: handed on, it would retire
    // every process in the table.
    if (ok)
        Q_EMIT currentProcessData(snapshot);
    else
        qWarning() << "WinProcessFinder::run() could not take a snapshot; nothing is reported";
    qDebug().noquote()
        << QStringLiteral("WinProcessFinder::run() took %1 msecs").arg(timer.elapsed());
}
