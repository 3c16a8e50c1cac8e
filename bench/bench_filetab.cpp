// A folder of small files dropped on the main window and scanned the whole way:
// walk and table inserts, digests, the registry query against the reference
// registry (winorvex-server, started here on 127.0.0.1 with a hash list that
// lists every 97th file as malware) with its answers applied to the table, and
// the end of the scan (sort, fetch of every row, column sizes). For each phase
// it prints the wall time, the process's CPU time and the longest time the GUI
// thread went without serving its timers (a 5 ms timer that measures its own
// lateness). Then the whole scan against `rhash -r --md5 --sha1` over the same
// folder plus the designed registry waits (the handler's one-second pause
// before it asks and the two seconds of silence that end an answer).
//
//   QT_QPA_PLATFORM=offscreen bench_filetab [files|FOLDER] [behind]
//
// Given a folder instead of a count, it scans that real tree (e.g. /usr/lib)
// against a hash list of the EICAR test file only.
//
// By default the Files tab is in front, as for a user who dropped a folder on
// it; "behind" leaves the Summary tab in front, to show what painting the
// progress page and the table costs.

#include "app/mainwindow.h"
#include "files/digestcalculator.h"
#include "files/filetab.h"
#include "files/sqlmodel.h"
#include "files/userprompt.h"
#include "processes/processmonitor.h"
#include "widgets/maintabbar.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {
constexpr int DesignedWaitsMs = 1000 + 2000;

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// The longest gap between two turns of the GUI thread's event loop.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        m_timer.setInterval(5);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] { note(); });
    }
    void start()
    {
        m_longest = 0;
        m_since.start();
        m_timer.start();
    }
    // The longest gap since the last take(), counting the one in progress.
    qint64 take()
    {
        note();
        return std::exchange(m_longest, 0);
    }

private:
    void note()
    {
        // A 5 ms timer that fires after 7 ms kept the thread from its loop for 2 ms.
        m_longest = qMax(m_longest, m_since.restart() - m_timer.interval());
    }
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

// The process's CPU seconds (all threads) since the last call: on a shared
// machine it shows what the code costs.
double cpuSince()
{
    static std::clock_t mark = std::clock();
    const std::clock_t now = std::clock();
    return double(std::exchange(mark, now) - now) / -CLOCKS_PER_SEC;
}

void printRow(const char *phase, qint64 ms, double cpu, qint64 stall)
{
    std::printf("| %-26s | %9.3f | %9.3f | %13lld |\n", phase, ms / 1000.0, cpu,
                static_cast<long long>(qMax<qint64>(stall, 0)));
}

// Wall milliseconds of rhash over the folder, -1 when rhash is missing.
qint64 timeRhash(const QString &folder)
{
    const QString rhash = QStandardPaths::findExecutable(QStringLiteral("rhash"));
    if (rhash.isEmpty())
        return -1;
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(
        rhash, {QStringLiteral("-r"), QStringLiteral("--md5"), QStringLiteral("--sha1"), folder});
    // 1: some file could not be read (a real tree may hold such), the rest was.
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() > 1)
        return -1;
    return timer.elapsed();
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    qInstallMessageHandler(quietDebug);
    // Only the Files tab is measured: the window's process monitor stays off.
    ProcessMonitor::setTestMonitoringEnabled(false);
    UserPrompt::setScripted(true);
    const QString argument = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const bool realTree = !argument.isEmpty() && QFileInfo(argument).isDir();
    int files = argc > 1 && !realTree ? argument.toInt() : 100000;
    const bool filesTabInFront = !(argc > 2 && QByteArray(argv[2]) == "behind");

    // 1,000 files per folder, a few bytes each and all different; every 97th is
    // listed as malware, the rest are unknown to the registry.
    QTemporaryDir dir;
    const QString folder = realTree ? QFileInfo(argument).absoluteFilePath() : dir.path();
    QByteArray hashList;
    int listed = 0;
    if (realTree) {
        // The EICAR test file's MD5, as in the demo hash list.
        hashList = "44d88612fea8a8f36de82e1278abb02f 60 1275400000\n";
        files = 0;
    }
    for (int i = 0; i < files; ++i) {
        const QString folder = dir.filePath(QStringLiteral("d%1").arg(i / 1000));
        if (i % 1000 == 0)
            QDir().mkpath(folder);
        QFile file(QStringLiteral("%1/f%2.bin").arg(folder).arg(i));
        const QByteArray content = QByteArray::number(i);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) <= 0)
            return 1;
        if (i % 97 == 0) {
            hashList += QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex() +
                        " 5 1275400000\n";
            ++listed;
        }
    }
    QTemporaryDir serverDir;
    QFile list(serverDir.filePath(QStringLiteral("hashlist.txt")));
    if (!list.open(QIODevice::WriteOnly) || list.write(hashList) != hashList.size())
        return 1;
    list.close();

    QProcess server;
    server.start(QCoreApplication::applicationDirPath() +
                     QStringLiteral("/../server/winorvex-server"),
                 {QStringLiteral("--registry-port"), QStringLiteral("0"),
                  QStringLiteral("--hash-list"), list.fileName()});
    // It prints "registry listening on 127.0.0.1:<port>" once it listens.
    QByteArray port;
    while (port.isEmpty()) {
        while (port.isEmpty() && server.canReadLine()) {
            const QByteArray line = server.readLine().trimmed();
            if (line.startsWith("registry listening on "))
                port = line.mid(line.lastIndexOf(':') + 1);
        }
        if (port.isEmpty() && !server.waitForReadyRead(10000))
            break;
    }
    if (port.isEmpty()) {
        std::fprintf(stderr, "winorvex-server did not start\n");
        return 1;
    }
    qputenv("WINORVEX_REGISTRY", "127.0.0.1:" + port);

    // A first run warms the page cache for both sides alike.
    const qint64 rhashMs = (timeRhash(folder), timeRhash(folder));

    MainWindow window;
    window.show();
    // The Files tab in front, as a user who dropped a folder sees it: its
    // progress page is painted while the scan runs.
    if (filesTabInFront)
        window.findChild<MainTabBar *>()->setCurrentIndex(MainWindow::FilesPage);
    FileTab *tab = window.fileTab();
    SqlModel *model = tab->fileModel();
    StallMeter stalls;

    QElapsedTimer phase;
    QElapsedTimer total;
    bool digesting = false;
    bool queried = false;
    bool finished = false;
    qint64 walkStall = 0, digestStall = 0, queryStall = 0;
    qint64 walkMs = 0, digestMs = 0, queryMs = 0;
    double walkCpu = 0, digestCpu = 0, queryCpu = 0;
    QObject::connect(tab->digestWorker(), &QThread::started, tab, [&] {
        digesting = true;
        walkMs = phase.restart();
        walkCpu = cpuSince();
        walkStall = stalls.take();
    });
    QObject::connect(tab, &OrvexTab::queryOrvex, tab, [&] {
        queried = true;
        digestMs = phase.restart();
        digestCpu = cpuSince();
        digestStall = stalls.take();
    });
    QObject::connect(tab, &FileTab::fileScanFinished, tab, [&] {
        finished = true;
        queryMs = phase.restart();
        queryCpu = cpuSince();
        queryStall = stalls.take();
    });

    std::printf("| %-26s | %9s | %9s | %13s |\n", "phase", "seconds", "CPU s", "GUI stall ms");
    std::printf("|%s|%s|%s|%s|\n", "----------------------------", "-----------", "-----------",
                "---------------");
    cpuSince();
    stalls.start();
    phase.start();
    total.start();
    std::fprintf(stderr, "scanning %s\n", qPrintable(folder));
    tab->handleFilesAndDirectoriesDrop({QFileInfo(folder)});
    QElapsedTimer limit;
    limit.start();
    while (!finished && limit.elapsed() < 1800000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (!digesting || !queried || !finished) {
        std::fprintf(stderr, "the scan did not end\n");
        return 2;
    }
    // The end of the scan fetches the rows in slices after fileScanFinished.
    while (model->canFetchMore())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
    const qint64 endMs = phase.restart();
    const double endCpu = cpuSince();
    const qint64 endStall = stalls.take();
    const qint64 wholeMs = total.elapsed();

    printRow("walk and store", walkMs, walkCpu, walkStall);
    printRow("digest", digestMs, digestCpu, digestStall);
    printRow("query and apply answers", queryMs, queryCpu, queryStall);
    printRow("end of scan (sort, sizes)", endMs, endCpu, endStall);
    std::printf("| %-26s | %9.3f | %9s | %13s |\n", "whole scan", wholeMs / 1000.0, "", "");
    if (rhashMs >= 0) {
        const qint64 goal = rhashMs + DesignedWaitsMs;
        std::printf("\nrhash -r --md5 --sha1: %.3f s; plus designed waits %.1f s = %.3f s; "
                    "whole scan / that = %.2f (goal <= 1.00)\n",
                    rhashMs / 1000.0, DesignedWaitsMs / 1000.0, goal / 1000.0,
                    double(wholeMs) / goal);
    } else {
        std::printf("\nrhash not found: no comparison\n");
    }

    // The parts of the end of a scan, each again on the full table.
    auto *view = tab->findChild<QTableView *>(QStringLiteral("tableView"));
    phase.restart();
    cpuSince();
    model->select();
    printRow("  re-select", phase.restart(), cpuSince(), 0);
    model->fetchAll();
    printRow("  fetch every row", phase.restart(), cpuSince(), 0);
    for (int section : {SqlModel::NameSection, SqlModel::PathSection, SqlModel::ScanTimeSection,
                        SqlModel::SizeSection, SqlModel::StatusSection})
        view->resizeColumnToContents(section);
    printRow("  size five columns", phase.restart(), cpuSince(), 0);

    const int malicious = model->maliciousEntryCount();
    server.terminate();
    server.waitForFinished(5000);
    if (realTree) {
        std::printf("\n%d files of %s in the table, %d flagged\n", model->fileCount(),
                    qPrintable(folder), malicious);
        return model->fileCount() > 0 ? 0 : 4;
    }
    std::printf("\n%d files in the table, %d flagged (%d listed)\n", model->fileCount(), malicious,
                listed);
    return model->fileCount() == files && malicious == listed ? 0 : 4;
}
