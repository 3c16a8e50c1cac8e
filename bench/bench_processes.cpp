// Process monitoring on this machine with 300 extra sleeping processes:
//
//  1. peak memory while the image of a process whose program is 1 GiB is digested;
//  2. one snapshot (WinProcessFinder::getProcesses) against
//     `ps -e -o pid=,ppid=,comm=` taking the same list, run in turn: medians of
//     the wall time and of the CPU time, and their ratio;
//  3. the first pass over 300 sleepers of one program: images read, time until
//     every row has its digests and verdict;
//  4. the steady cost at the designed one-second poll after the first pass: the
//     process's own CPU time over [seconds] (60 by default);
//  5. 300 processes of another program starting at once, with a list view on
//     the table and verdicts from a local registry: the longest time the GUI
//     thread went without serving its timers (a 5 ms timer that measures its own
//     lateness), until every row has its verdict.
//
// Snapshots read every process of the machine; the monitor follows only this
// program's own children (the sleepers and their launchers), so that other
// work on a shared machine does not start digests in the middle of a figure.
//
//   QT_QPA_PLATFORM=offscreen bench_processes [seconds] [rounds]

#include "platform/clock.h"
#include "platform/linuxrunningprocesses.h"
#include "processes/processmonitor.h"
#include "processes/processsqlmodel.h"
#include "processes/winprocessfinder.h"
#include "registry/orvexcache.h"
#include "registry/orvexhandler.h"
#include "registrytestserver.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListView>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

namespace {
constexpr int Sleepers = 300;
std::atomic<int> g_imagesRead{0};

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (message.startsWith(QLatin1String("WinProcessPopulator::readImage() reading")))
        g_imagesRead.fetch_add(1);
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

// Starts many sleeping processes at once from one shell, in a process group
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
    ~SleeperGroup() { stop(); }
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
    void stop()
    {
        if (m_launcher.state() == QProcess::NotRunning || pid() == 0)
            return;
        ::kill(-pid_t(pid()), SIGKILL);
        m_launcher.waitForFinished();
    }

private:
    QProcess m_launcher;
};

double threadCpuMs()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// The longest gap between two turns of the GUI thread's event loop, and the
// most CPU time the thread spent within one gap. On a busy machine a gap also
// holds the time the thread waited for a core; the CPU time is its own work.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        m_timer.setInterval(5);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] { note(); });
        m_since.start();
        m_cpu = threadCpuMs();
        m_timer.start();
    }
    // The longest gap and the most CPU in one gap since the last take(), in ms.
    std::pair<qint64, double> take()
    {
        note();
        return {std::exchange(m_longest, 0), std::exchange(m_busiest, 0.0)};
    }

private:
    void note()
    {
        m_longest = qMax(m_longest, m_since.restart() - m_timer.interval());
        const double cpu = threadCpuMs();
        m_busiest = qMax(m_busiest, cpu - std::exchange(m_cpu, cpu));
    }
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
    double m_cpu = 0;
    double m_busiest = 0;
};

double processCpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double childrenCpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

long peakKiB()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// A copy of sleep with a tail of its own, optionally a sparse one of tailBytes.
QString copySleep(const QString &folder, const QString &name, const QByteArray &tag,
                  qint64 tailBytes = 0)
{
    QFile original(QStandardPaths::findExecutable(QStringLiteral("sleep")));
    if (!original.open(QIODevice::ReadOnly))
        return QString();
    const QString path = folder + u'/' + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(original.readAll() + tag) < 0)
        return QString();
    if (tailBytes > 0 && !file.resize(file.size() + tailBytes))
        return QString();
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

QString md5Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

int count(const QString &sql)
{
    QSqlQuery query;
    query.exec(sql);
    return query.next() ? query.value(0).toInt() : -1;
}

// Runs the event loop until the condition holds, looking every 20 ms; false
// after timeoutMs. The loop sleeps in between, so it costs next to nothing.
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

// Runs the event loop for ms, doing nothing else.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

const char PendingRows[] = "SELECT COUNT(*) FROM processes WHERE orvex_state != 4 OR md5 IS NULL";
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    qInstallMessageHandler(quietDebug);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int seconds = argc > 1 ? QByteArray(argv[1]).toInt() : 60;
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 31;
    if (QStandardPaths::findExecutable(QStringLiteral("ps")).isEmpty()) {
        std::fprintf(stderr, "ps is not installed (procps)\n");
        return 2;
    }
    QTemporaryDir folder;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    db.open();

    RegistryTestServer registry;
    registry.listen();
    qputenv("WINORVEX_REGISTRY", registry.address());

    OwnChildren processes;
    processes.addParent(quint32(QCoreApplication::applicationPid()));
    RunningProcesses::setInstance(&processes);
    // The registry road as the main window runs it: a handler per list.
    OrvexCache cache;
    int runningQueries = 0;
    ProcessMonitor monitor;
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
    std::printf("Process monitoring with %d extra sleeping processes (%s)\n\n", Sleepers,
                qPrintable(QSysInfo::prettyProductName()));

    // 1. Memory: the image is digested in chunks, not read whole.
    {
        const QString big = copySleep(folder.path(), QStringLiteral("big"), "big", 1LL << 30);
        QProcess process;
        process.start(big, {QStringLiteral("600")});
        process.waitForStarted();
        const long before = peakKiB();
        QElapsedTimer timer;
        timer.start();
        monitor.setScanEnabled(true);
        const bool done = waitFor(
            [] {
                return count(QString::fromLatin1(PendingRows)) == 0 &&
                       count(QStringLiteral("SELECT COUNT(*) FROM processes")) > 0;
            },
            600000);
        std::printf("1. Digesting a process whose program is 1 GiB: %s in %.1f s, peak memory "
                    "%ld MiB before, %ld MiB after (+%ld MiB)\n\n",
                    done ? "done" : "NOT DONE", timer.elapsed() / 1000.0, before / 1024,
                    peakKiB() / 1024, (peakKiB() - before) / 1024);
        process.kill();
        process.waitForFinished();
        waitFor([] { return count(QStringLiteral("SELECT COUNT(*) FROM processes")) == 0; }, 60000);
        monitor.setScanEnabled(false);
    }

    const QString program = copySleep(folder.path(), QStringLiteral("sleeper"), "first");
    SleeperGroup first(program, Sleepers);
    if (!first.waitForChildren(Sleepers)) {
        std::fprintf(stderr, "the sleepers did not start\n");
        return 1;
    }
    registry.setAnswer(md5Of(program), 1275400000, 0);

    // 2. One snapshot against ps, in turn, both of the whole machine.
    {
        RunningProcesses::setInstance(nullptr);
        WinProcessFinder finder;
        QList<double> psWall, psCpu, ownWall, ownCpu;
        int psLines = 0, ownRecords = 0;
        for (int round = 0; round < rounds; ++round) {
            QProcess ps;
            const double childrenBefore = childrenCpuSeconds();
            QElapsedTimer timer;
            timer.start();
            ps.start(QStringLiteral("ps"), {QStringLiteral("-e"), QStringLiteral("-o"),
                                            QStringLiteral("pid=,ppid=,comm=")});
            ps.waitForFinished();
            psLines = ps.readAllStandardOutput().count('\n');
            psWall << timer.nsecsElapsed() / 1e6;
            psCpu << (childrenCpuSeconds() - childrenBefore) * 1000;

            const double cpuBefore = threadCpuSeconds();
            timer.restart();
            const QList<QString> records = finder.getProcesses();
            ownWall << timer.nsecsElapsed() / 1e6;
            ownCpu << (threadCpuSeconds() - cpuBefore) * 1000;
            ownRecords = records.size();
        }
        std::printf("2. One snapshot, %d rounds in turn (medians, ms)\n", rounds);
        std::printf("| %-34s | %9s | %9s | %9s |\n", "", "wall", "CPU", "processes");
        std::printf("| %-34s | %9.2f | %9.2f | %9d |\n",
                    "ps -e -o pid=,ppid=,comm=", median(psWall), median(psCpu), psLines);
        std::printf("| %-34s | %9.2f | %9.2f | %9d |\n", "WinOrvex snapshot", median(ownWall),
                    median(ownCpu), ownRecords);
        std::printf("| %-34s | %9.2f | %9.2f | %9s |\n\n", "ratio WinOrvex / ps",
                    median(ownWall) / median(psWall), median(ownCpu) / median(psCpu), "");
        RunningProcesses::setInstance(&processes);
    }

    // 3. The first pass over the sleepers: one program, read once.
    processes.addParent(first.pid());
    g_imagesRead.store(0);
    {
        QElapsedTimer timer;
        timer.start();
        monitor.setScanEnabled(true);
        const bool done = waitFor(
            [] {
                return count(QStringLiteral("SELECT COUNT(*) FROM processes")) >= Sleepers + 1 &&
                       count(QString::fromLatin1(PendingRows)) == 0;
            },
            300000);
        std::printf("3. First pass: %d processes (%d sleepers of one program and their "
                    "launcher, a shell), %d images read, every row checked: %s after %.1f s\n\n",
                    count(QStringLiteral("SELECT COUNT(*) FROM processes")), Sleepers,
                    g_imagesRead.load(), done ? "yes" : "NO", timer.elapsed() / 1000.0);
    }

    // 4. The steady cost of polling once a second.
    {
        // The counters live as long as this part; so do the connections.
        QObject counting;
        int newProcesses = 0;
        QObject::connect(&monitor, &ProcessMonitor::processScanStarted, &counting,
                         [&newProcesses] { ++newProcesses; });
        int merges = 0;
        QObject::connect(&monitor, &ProcessMonitor::snapshotMerged, &counting,
                         [&merges] { ++merges; });
        runFor(2000);
        const double cpuBefore = processCpuSeconds();
        QElapsedTimer timer;
        timer.start();
        runFor(seconds * 1000);
        const double cpu = processCpuSeconds() - cpuBefore;
        const double wall = timer.elapsed() / 1000.0;
        std::printf("4. Steady cost over %.0f s at a %d ms poll: %.3f s of CPU = %.2f %% of one "
                    "core (%d snapshots merged, %d of them with new processes)\n\n",
                    wall, monitor.pollInterval(), cpu, cpu / wall * 100.0, merges, newProcesses);
    }

    // 5. Processes starting at once, seen by a list view on the table.
    {
        QListView view;
        view.setModel(monitor.model());
        view.resize(300, 600);
        view.show();
        runFor(1000);
        const QString next = copySleep(folder.path(), QStringLiteral("burst"), "second");
        registry.setAnswer(md5Of(next), 1275400000, 0);
        int resets = 0;
        QObject::connect(monitor.model(), &QAbstractItemModel::modelReset, &view,
                         [&resets] { ++resets; });
        StallMeter stalls;
        QElapsedTimer timer;
        timer.start();
        SleeperGroup burst(next, Sleepers);
        processes.addParent(burst.pid());
        stalls.take();
        const bool done = waitFor(
            [] {
                return count(QStringLiteral("SELECT COUNT(*) FROM processes")) >=
                           2 * (Sleepers + 1) &&
                       count(QString::fromLatin1(PendingRows)) == 0;
            },
            300000);
        const auto [longest, busiest] = stalls.take();
        std::printf("5. %d processes starting at once: every row checked %s after %.1f s, the "
                    "table re-selected %d times; the GUI thread's longest stall %lld ms, its "
                    "most CPU within one stall %.1f ms\n",
                    Sleepers, done ? "yes" : "NO", timer.elapsed() / 1000.0, resets,
                    static_cast<long long>(longest), busiest);
        burst.stop();
    }
    first.stop();
    monitor.setScanEnabled(false);
    waitFor([&runningQueries] { return runningQueries == 0; }, 60000);
    RunningProcesses::setInstance(nullptr);
    return 0;
}
