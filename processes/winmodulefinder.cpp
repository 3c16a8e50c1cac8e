#include "processes/winmodulefinder.h"

#include "platform/filename.h"
#include "platform/runningprocesses.h"
#include "platform/systemerror.h"
#include "processes/modulerecord.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMutexLocker>

#include <cerrno>
#include <unistd.h>

namespace {
// The path of a process's executable as /proc/<pid>/exe reads; empty when it
// cannot be read.
QByteArray executablePath(const QByteArray &procRoot, quint32 pid)
{
    const QByteArray link = procRoot + '/' + QByteArray::number(pid) + "/exe";
    QByteArray buffer(4096, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::readlink(link.constData(), buffer.data(), size_t(buffer.size()));
        if (n < 0)
            return QByteArray();
        if (n < buffer.size()) {
            buffer.truncate(n);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}
} // namespace

WinModuleFinder::WinModuleFinder(QObject *parent) : WinFinder(parent)
{
    qRegisterMetaType<ModuleSnapshot>("ModuleSnapshot");
    qRegisterMetaType<QList<QString>>("QList<QString>");
}

WinModuleFinder::~WinModuleFinder()
{
    wait();
}

void WinModuleFinder::setPIDs(QList<quint32> pids)
{
    pids.removeAll(0);
    const QMutexLocker locker(&m_mutex);
    m_pids = pids;
}

QList<quint32> WinModuleFinder::pids() const
{
    const QMutexLocker locker(&m_mutex);
    return m_pids;
}

QList<QString> WinModuleFinder::getModules(ModuleSnapshot *details)
{
    QList<QString> records;
    const QList<quint32> processes = pids();
    for (const quint32 pid : processes) {
        const int error = ProcessMaps::read(pid, &m_buffer, m_procRoot);
        if (error != 0) {
            if (RunningProcesses::hasEnded(error))
                continue;
            if (details)
                details->unreadPids.append(pid);
            if (RunningProcesses::isDenied(error)) {
                if (m_deniedLogged.contains(pid))
                    continue;
                m_deniedLogged.insert(pid);
            }
            logSystemError(QStringLiteral("WinModuleFinder::getModules() /proc/%1/maps").arg(pid),
                           error);
            continue;
        }
        const QList<MappedFile> files = ProcessMaps::executableFiles(m_buffer);
        if (files.isEmpty())
            continue;
        const QByteArray executable = executablePath(m_procRoot, pid);
        for (const MappedFile &file : files) {
            if (file.path == executable)
                continue;
            const QString path = FileName::fromBytes(file.path);
            const QString record = ModuleRecord::pack(pid, path, ModuleRecord::baseName(path));
            records.append(record);
            if (details)
                details->files.insert(record, file);
        }
    }
    // Processes that left the list take their denial with them.
    if (!m_deniedLogged.isEmpty())
        m_deniedLogged.intersect(QSet<quint32>(processes.cbegin(), processes.cend()));
    return records;
}

void WinModuleFinder::run()
{
    QElapsedTimer timer;
    timer.start();
    ModuleSnapshot details;
    const QList<QString> records = getModules(&details);
    // An empty snapshot retires every module: it is handed on only when no
    // process failed to be read, that is when every process has ended or has
    // no modules.
    if (!records.isEmpty() || details.unreadPids.isEmpty()) {
        Q_EMIT currentModuleFiles(details);
        Q_EMIT currentModules(records);
    }
    qDebug().noquote()
        << QStringLiteral("WinModuleFinder::getModules() took %1 msecs").arg(timer.elapsed());
}
