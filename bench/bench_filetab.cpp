// The Files tab over a full drive scan's worth of files: a folder of small files
// dropped on the tab runs the walk with the table inserts, the digests, the
// registry answers (applied as they would arrive, one record per file) and the
// end of the scan (sort, fetch of every row, column sizes). Prints one table
// with each phase's wall time, rate, CPU time, and the longest time the GUI
// thread went without serving its timers. The answers are all queued at once,
// as a handler does with one long payload, so that phase is one stall.
//
//   QT_QPA_PLATFORM=offscreen bench_filetab [files]

#include "files/digestcalculator.h"
#include "files/filetab.h"
#include "files/sqlmodel.h"
#include "files/userprompt.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {
void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
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
        connect(&m_timer, &QTimer::timeout, this,
                [this] { m_longest = qMax(m_longest, m_since.restart()); });
    }
    void start()
    {
        m_longest = 0;
        m_since.start();
        m_timer.start();
    }
    qint64 take()
    {
        m_longest = qMax(m_longest, m_since.restart());
        return std::exchange(m_longest, 0);
    }

private:
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

// Wall time and the process's CPU time (all threads) since the last row: on a
// shared machine the CPU column shows what the code costs.
std::clock_t g_cpuMark = std::clock();

void printRow(const char *phase, int files, qint64 ms, qint64 stall)
{
    const std::clock_t now = std::clock();
    const double cpu = double(now - g_cpuMark) / CLOCKS_PER_SEC;
    g_cpuMark = now;
    const double seconds = qMax<qint64>(ms, 1) / 1000.0;
    std::printf("| %-22s | %8d | %9.3f | %11.0f | %9.3f | %13lld |\n", phase, files, seconds,
                files / seconds, cpu, static_cast<long long>(stall));
}

bool waitFor(QSignalSpy &spy, int count)
{
    QElapsedTimer waited;
    waited.start();
    while (spy.count() < count && waited.elapsed() < 600000)
        spy.wait(1000);
    return spy.count() >= count;
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    qInstallMessageHandler(quietDebug);
    UserPrompt::setScripted(true);
    const int files = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    if (!db.open())
        return 1;

    QTemporaryDir dir;
    for (int i = 0; i < files; ++i) {
        const QString folder = dir.filePath(QStringLiteral("d%1").arg(i / 1000));
        if (i % 1000 == 0)
            QDir().mkpath(folder);
        QFile file(QStringLiteral("%1/f%2.bin").arg(folder).arg(i));
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray::number(i)) <= 0)
            return 1;
    }

    FileTab tab;
    QList<QString> asked;
    QObject::connect(&tab, &OrvexTab::queryOrvex, &tab,
                     [&asked](QList<QString> digests) { asked = digests; });
    QSignalSpy started(&tab, &FileTab::fileScanStarted);
    QSignalSpy query(&tab, &FileTab::queryOrvex);
    QSignalSpy finished(&tab, &FileTab::fileScanFinished);
    StallMeter stalls;

    std::printf("| %-22s | %8s | %9s | %11s | %9s | %13s |\n", "phase", "files", "seconds",
                "files/s", "CPU s", "GUI stall ms");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", "------------------------", "----------", "-----------",
                "-------------", "-----------", "---------------");

    g_cpuMark = std::clock();
    QElapsedTimer phase;
    phase.start();
    QElapsedTimer total;
    total.start();
    stalls.start();
    tab.handleFilesAndDirectoriesDrop({QFileInfo(dir.path())});
    // The walk and its inserts end when the digests start.
    while (!tab.digestWorker()->isRunning() && query.isEmpty())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    printRow("walk and store", files, phase.restart(), stalls.take());

    if (!waitFor(query, 1))
        return 2;
    printRow("digest", files, phase.restart(), stalls.take());

    // Answers arrive as the handler sends them: one queued record each.
    const QString seen =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    tab.OrvexQueryStarted();
    for (int i = 0; i < asked.size(); ++i) {
        const QString record =
            QStringLiteral("%1|%2|%3").arg(asked.at(i)).arg(i % 97 == 0 ? 5 : -1).arg(seen);
        QMetaObject::invokeMethod(&tab, "setOrvexDataPacked", Qt::QueuedConnection,
                                  Q_ARG(QString, record));
    }
    bool answered = false;
    QMetaObject::invokeMethod(
        &tab, [&answered] { answered = true; }, Qt::QueuedConnection);
    while (!answered)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    printRow("apply answers", asked.size(), phase.restart(), stalls.take());

    tab.OrvexQueryFinished();
    if (!waitFor(finished, 1))
        return 3;
    printRow("end of scan", files, phase.restart(), stalls.take());
    std::printf("| %-22s | %8d | %9.3f | %11.0f | %9s | %13s |\n", "whole scan", files,
                total.elapsed() / 1000.0, files * 1000.0 / qMax<qint64>(total.elapsed(), 1), "",
                "");

    // The parts of the end of a scan, each again on the full table.
    auto *view = tab.findChild<QTableView *>(QStringLiteral("tableView"));
    phase.restart();
    tab.fileModel()->select();
    printRow("  re-select", files, phase.restart(), 0);
    tab.fileModel()->fetchAll();
    printRow("  fetch every row", files, phase.restart(), 0);
    for (int section : {SqlModel::NameSection, SqlModel::PathSection, SqlModel::ScanTimeSection,
                        SqlModel::SizeSection, SqlModel::StatusSection})
        view->resizeColumnToContents(section);
    printRow("  size five columns", files, phase.restart(), 0);
    return started.count() == 1 && tab.fileModel()->fileCount() == files ? 0 : 4;
}
