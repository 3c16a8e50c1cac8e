#include "fakerunningprocesses.h"

#include <QCoreApplication>
#include <QMutexLocker>

FakeRunningProcesses::FakeRunningProcesses()
{
    RunningProcesses::setInstance(this);
}

FakeRunningProcesses::~FakeRunningProcesses()
{
    RunningProcesses::setInstance(nullptr);
}

ProcStat FakeRunningProcesses::process(quint32 pid, const QByteArray &name, quint32 parentPid,
                                       char state, quint64 flags)
{
    ProcStat stat;
    stat.pid = pid;
    stat.name = name;
    stat.parentPid = parentPid;
    stat.state = state;
    stat.flags = flags;
    stat.startTime = 1000 + pid;
    return stat;
}

void FakeRunningProcesses::setSnapshot(const QList<ProcStat> &processes)
{
    const QMutexLocker locker(&m_mutex);
    m_snapshot = processes;
    m_ownChildren = false;
}

void FakeRunningProcesses::listOwnChildren()
{
    const QMutexLocker locker(&m_mutex);
    m_snapshot.reset();
    m_ownChildren = true;
}

void FakeRunningProcesses::setListFails(bool fails)
{
    const QMutexLocker locker(&m_mutex);
    m_listFails = fails;
}

int FakeRunningProcesses::listCalls() const
{
    const QMutexLocker locker(&m_mutex);
    return m_listCalls;
}

void FakeRunningProcesses::setStartTimes(quint32 pid, const QList<quint64> &startTimes)
{
    const QMutexLocker locker(&m_mutex);
    m_startTimes.insert(pid, startTimes);
}

void FakeRunningProcesses::setImageError(quint32 pid, int error)
{
    const QMutexLocker locker(&m_mutex);
    m_imageErrors.insert(pid, error);
}

void FakeRunningProcesses::setImageHook(quint32 pid, std::function<void(int)> hook)
{
    const QMutexLocker locker(&m_mutex);
    m_imageHooks.insert(pid, std::move(hook));
}

int FakeRunningProcesses::imageCalls(quint32 pid) const
{
    const QMutexLocker locker(&m_mutex);
    return m_imageCalls.value(pid);
}

bool FakeRunningProcesses::list(QList<ProcStat> *processes) const
{
    bool ownChildren = false;
    {
        const QMutexLocker locker(&m_mutex);
        ++m_listCalls;
        if (m_listFails) {
            processes->clear();
            return false;
        }
        if (m_snapshot) {
            *processes = *m_snapshot;
            return true;
        }
        ownChildren = m_ownChildren;
    }
    if (!m_linux.list(processes))
        return false;
    if (ownChildren) {
        const quint32 self = quint32(QCoreApplication::applicationPid());
        processes->removeIf([self](const ProcStat &process) { return process.parentPid != self; });
    }
    return true;
}

int FakeRunningProcesses::stat(quint32 pid, ProcStat *stat) const
{
    const int error = m_linux.stat(pid, stat);
    if (error != 0)
        return error;
    const QMutexLocker locker(&m_mutex);
    auto times = m_startTimes.find(pid);
    if (times != m_startTimes.end() && !times->isEmpty())
        stat->startTime = times->size() > 1 ? times->takeFirst() : times->first();
    return 0;
}

int FakeRunningProcesses::executablePath(quint32 pid, QByteArray *path) const
{
    return m_linux.executablePath(pid, path);
}

int FakeRunningProcesses::imageIdentity(quint32 pid, ImageIdentity *identity) const
{
    std::function<void(int)> hook;
    int error = 0;
    int call = 0;
    {
        const QMutexLocker locker(&m_mutex);
        call = ++m_imageCalls[pid];
        hook = m_imageHooks.value(pid);
        error = m_imageErrors.value(pid);
    }
    if (hook)
        hook(call);
    if (error != 0)
        return error;
    return m_linux.imageIdentity(pid, identity);
}

QString FakeRunningProcesses::imagePath(quint32 pid) const
{
    return m_linux.imagePath(pid);
}
