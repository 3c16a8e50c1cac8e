// Module monitoring on this machine with 300 extra sleeping processes:
//
//  1. one module pass (WinModuleFinder::getModules over every process of the
//     machine, the process ids listed from /proc first) against
//     `cat /proc/[0-9]*/maps > /dev/null` run in turn: medians of the wall time
//     and of the CPU time, and their ratio (goal: at most 2 x cat's time);
//  2. the steady cost of process and module monitoring together: a
//     ProcessMonitor following the 300 sleepers (and their launcher), after
//     its first pass has every process and every module checked, its own CPU
//     time over [seconds] (60 by default; goal: under 1.5 % of one core).
//
// The monitor follows only this program's own children, so that other work on
// a shared machine does not start digests in the middle of a figure; its
// snapshots and module passes still read the files of every process they follow.
//
//   QT_QPA_PLATFORM=offscreen bench_modules [seconds] [rounds]

#include "platform/linuxrunningprocesses.h"
#include "processes/modulemanager.h"
#include "processes/processmonitor.h"
#include "processes/winmodulefinder.h"
#include "registry/orvexcache.h"
#include "registry/orvexhandler.h"
#include "registrytestserver.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

namespace {
constexpr int Sleepers = 300;

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// The machine's processes, of which the monitor follows those whose parent is
// one of the given processes. Every stat file is still read.
class OwnChildren : public LinuxRunningProcesses
{
public:
    void addParent(quint32 pid)
    {
        const QMutexLocker locker(&m_mutex);
        m_parents.insert(pid);
    }
    bool list(QList<ProcStat> *processes) const override
    {
        if (!LinuxRunningProcesses::list(processes))
            return false;
        const QMutexLocker locker(&m_mutex);
        processes->removeIf(
            [this](const ProcStat &process) { return !m_parents.contains(process.parentPid); });
        return true;
    }

private:
    mutable QMutex m_mutex;
    QSet<quint32> m_parents;
};

// Many sleeping processes started at once from one shell, in a process group
// of their own so that they end together.
class SleeperGroup
{
public:
    SleeperGroup(const QString &program, int count)
    {
        m_launcher.setChildProcessModifier([] { ::setpgid(0, 0); });
        m_launcher.start(QStringLiteral("sh"),
                         {QStringLiteral("-c"),
                          QStringLiteral("i=0; while [ $i -lt %1 ]; do \"$0\" 600 & i=$((i+1)); "
                                         "done; wait")
                              .arg(count),
                          program});
        m_launcher.waitForStarted();
    }
    ~SleeperGroup()
    {
        if (m_launcher.state() == QProcess::NotRunning || pid() == 0)
            return;
        ::kill(-pid_t(pid()), SIGKILL);
        m_launcher.waitForFinished();
    }
    quint32 pid() const { return quint32(m_launcher.processId()); }
    // Waits until count children run.
    bool waitForChildren(int count) const
    {
        const LinuxRunningProcesses machine;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 60000) {
            QList<ProcStat> processes;
            machine.list(&processes);
            if (std::count_if(processes.cbegin(), processes.cend(),
                              [this](const ProcStat &p) { return p.parentPid == pid(); }) >= count)
                return true;
            QThread::msleep(20);
        }
        return false;
    }

private:
    QProcess m_launcher;
};

double seconds(const timeval &user, const timeval &system)
{
    return user.tv_sec + system.tv_sec + (user.tv_usec + system.tv_usec) / 1e6;
}

double processCpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime, usage.ru_stime);
}

double childrenCpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return seconds(usage.ru_utime, usage.ru_stime);
}

double threadCpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// A copy of sleep with a tail of its own, so that its digests are its own.
QString copySleep(const QString &folder, const QString &name, const QByteArray &tag)
{
    QFile original(QStandardPaths::findExecutable(QStringLiteral("sleep")));
    if (!original.open(QIODevice::ReadOnly))
        return QString();
    const QString path = folder + u'/' + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(original.readAll() + tag) < 0)
        return QString();
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

int count(const QString &sql)
{
    QSqlQuery query;
    query.exec(sql);
    return query.next() ? query.value(0).toInt() : -1;
}

// Runs the event loop until the condition holds, looking every 20 ms; false
// after timeoutMs.
template <typename Condition> bool waitFor(Condition condition, int timeoutMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    bool held = false;
    QTimer look;
    look.setInterval(20);
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (condition()) {
            held = true;
            loop.quit();
        }
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    look.start();
    loop.exec();
    return held;
}

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The processes of the machine, as cat's glob lists them.
QList<quint32> machinePids()
{
    QList<quint32> pids;
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const quint32 pid = name.toUInt(&ok);
        if (ok)
            pids.append(pid);
    }
    return pids;
}

const char PendingProcesses[] =
    "SELECT COUNT(*) FROM processes WHERE orvex_state != 4 OR md5 IS NULL";
const char PendingModules[] =
    "SELECT COUNT(*) FROM modules WHERE is_loaded = 1 AND orvex_state NOT IN (2, 4)";
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    qInstallMessageHandler(quietDebug);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int steadySeconds = argc > 1 ? QByteArray(argv[1]).toInt() : 60;
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 31;
    QTemporaryDir folder;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    db.open();

    RegistryTestServer registry;
    registry.listen();
    qputenv("WINORVEX_REGISTRY", registry.address());

    const QString program = copySleep(folder.path(), QStringLiteral("sleeper"), "modules");
    SleeperGroup sleepers(program, Sleepers);
    if (program.isEmpty() || !sleepers.waitForChildren(Sleepers)) {
        std::fprintf(stderr, "the sleepers did not start\n");
        return 1;
    }
    std::printf("Module monitoring with %d extra sleeping processes (%s)\n\n", Sleepers,
                qPrintable(QSysInfo::prettyProductName()));

    // 1. One module pass against cat, in turn, both over every process.
    {
        WinModuleFinder finder;
        QList<double> catWall, catCpu, ownWall, ownCpu;
        qsizetype records = 0, processes = 0;
        for (int round = 0; round < rounds; ++round) {
            QProcess cat;
            const double childrenBefore = childrenCpuSeconds();
            QElapsedTimer timer;
            timer.start();
            cat.start(QStringLiteral("sh"),
                      {QStringLiteral("-c"), QStringLiteral("cat /proc/[0-9]*/maps > /dev/null")});
            cat.waitForFinished();
            catWall << timer.nsecsElapsed() / 1e6;
            catCpu << (childrenCpuSeconds() - childrenBefore) * 1000;

            const double cpuBefore = threadCpuSeconds();
            timer.restart();
            const QList<quint32> pids = machinePids();
            finder.setPIDs(pids);
            ModuleSnapshot details;
            records = finder.getModules(&details).size();
            ownWall << timer.nsecsElapsed() / 1e6;
            ownCpu << (threadCpuSeconds() - cpuBefore) * 1000;
            processes = pids.size();
        }
        std::printf("1. One module pass over %lld processes, %d rounds in turn (medians, ms)\n",
                    static_cast<long long>(processes), rounds);
        std::printf("| %-40s | %9s | %9s | %9s |\n", "", "wall", "CPU", "modules");
        std::printf("| %-40s | %9.2f | %9.2f | %9s |\n", "cat /proc/[0-9]*/maps > /dev/null",
                    median(catWall), median(catCpu), "");
        std::printf("| %-40s | %9.2f | %9.2f | %9lld |\n", "WinOrvex module pass", median(ownWall),
                    median(ownCpu), static_cast<long long>(records));
        std::printf("| %-40s | %9.2f | %9.2f | %9s |\n\n", "ratio WinOrvex / cat (goal <= 2)",
                    median(ownWall) / median(catWall), median(ownCpu) / median(catCpu), "");
    }

    // 2. Process and module monitoring together, once everything is checked.
    {
        OwnChildren followed;
        followed.addParent(sleepers.pid());
        RunningProcesses::setInstance(&followed);
        OrvexCache cache;
        int runningQueries = 0;
        ProcessMonitor monitor;
        // The registry road as the main window runs it: a handler per list.
        QObject::connect(
            &monitor, &ProcessMonitor::queryOrvex, &monitor, [&](const QList<QString> &digests) {
                if (digests.isEmpty())
                    return;
                auto *handler = new OrvexHandler(&cache);
                QObject::connect(handler, &QThread::finished, handler, &QObject::deleteLater);
                QObject::connect(handler, &QThread::finished, &monitor,
                                 [&runningQueries] { --runningQueries; });
                monitor.attachQuery(handler);
                ++runningQueries;
                handler->sendQuery(digests);
            });
        QElapsedTimer timer;
        timer.start();
        monitor.setScanEnabled(true);
        ModuleManager *modules = monitor.moduleManager();
        const bool done = waitFor(
            [modules] {
                return count(QStringLiteral("SELECT COUNT(*) FROM processes")) >= Sleepers &&
                       count(QString::fromLatin1(PendingProcesses)) == 0 &&
                       count(QStringLiteral("SELECT COUNT(*) FROM modules")) >= Sleepers &&
                       count(QString::fromLatin1(PendingModules)) == 0 && !modules->isDigesting();
            },
            300000);
        std::printf("2. First pass: %d processes and %d module rows (%d distinct files), every "
                    "one checked: %s after %.1f s\n",
                    count(QStringLiteral("SELECT COUNT(*) FROM processes")),
                    count(QStringLiteral("SELECT COUNT(*) FROM modules")),
                    count(QStringLiteral("SELECT COUNT(DISTINCT file_id) FROM modules")),
                    done ? "yes" : "NO", timer.elapsed() / 1000.0);

        runFor(2000);
        QObject counting;
        int moduleScans = 0;
        QObject::connect(modules, &ModuleManager::modulesMerged, &counting,
                         [&moduleScans] { ++moduleScans; });
        int merges = 0;
        QObject::connect(&monitor, &ProcessMonitor::snapshotMerged, &counting,
                         [&merges] { ++merges; });
        const double cpuBefore = processCpuSeconds();
        timer.restart();
        runFor(steadySeconds * 1000);
        const double cpu = processCpuSeconds() - cpuBefore;
        const double wall = timer.elapsed() / 1000.0;
        std::printf("   Steady cost over %.0f s (process poll %d ms, module pass %d ms): %.3f s of "
                    "CPU = %.2f %% of one core (goal < 1.5 %%; %d process snapshots and %d module "
                    "snapshots merged)\n",
                    wall, monitor.pollInterval(), modules->scanInterval(), cpu, cpu / wall * 100.0,
                    merges, moduleScans);
        monitor.setScanEnabled(false);
        waitFor(
            [&runningQueries, modules] { return runningQueries == 0 && !modules->isDigesting(); },
            60000);
        RunningProcesses::setInstance(nullptr);
    }
    return 0;
}
