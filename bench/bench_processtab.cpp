// The Processes tab on this machine with 300 extra sleeping processes, the
// monitor running at its designed one-second poll and a local registry
// answering:
//
//  1. the longest time the GUI thread went without serving its timers (a 5 ms
//     timer that measures its own lateness) from the start of the sleepers
//     until every row has its verdict, and over [seconds] after that;
//  2. the time the tab takes per key typed in its Search field (the table is
//     filtered again at each key), median and longest over [keys] keys.
//
// There is no other program to run in turn on the same input: the figures
// are read against the 100 ms a user notices.
//
//   QT_QPA_PLATFORM=offscreen bench_processtab [seconds] [keys]

#include "processes/processmonitor.h"
#include "processes/processsqlmodel.h"
#include "registry/orvexcache.h"
#include "registry/orvexhandler.h"
#include "registrytestserver.h"
#include "views/processtab.h"
#include "widgets/embeddedlabellineedit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {
// How late a 5 ms timer fires, at worst.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this,
                [this] { m_longest = qMax(m_longest, m_since.restart() - m_timer.interval()); });
        m_since.start();
        m_timer.start();
    }
    qint64 takeLongest()
    {
        const qint64 longest = m_longest;
        m_longest = 0;
        return longest;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

bool allAnswered(ProcessSqlModel *model)
{
    QSqlQuery query(QStringLiteral("SELECT COUNT(*) FROM processes WHERE is_alive = 1 AND "
                                   "md5 IS NOT NULL AND orvex_state != 4"));
    return query.next() && query.value(0).toInt() == 0 && model->rowCount() > 0;
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? QByteArray(argv[1]).toInt() : 10;
    const int keys = argc > 2 ? QByteArray(argv[2]).toInt() : 40;

    RegistryTestServer server;
    if (!server.listen()) {
        std::fprintf(stderr, "bench_processtab: the local registry could not listen\n");
        return 2;
    }
    qputenv("WINORVEX_REGISTRY", server.address());

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    db.open();
    OrvexCache cache;
    int running = 0;
    {
        ProcessMonitor monitor;
        ProcessTab tab(&monitor);
        tab.resize(1100, 700);
        tab.show();
        // The registry road as the main window runs it for this tab.
        QObject::connect(&tab, &OrvexTab::queryOrvex, &tab, [&](const QList<QString> &digests) {
            if (digests.isEmpty())
                return;
            auto *handler = new OrvexHandler(&cache);
            QObject::connect(handler, &QThread::finished, handler, &QObject::deleteLater);
            QObject::connect(handler, &QThread::finished, &tab, [&running] { --running; });
            ++running;
            monitor.attachQuery(handler);
            handler->sendQuery(digests);
        });
        monitor.setScanEnabled(true);
        QElapsedTimer clock;
        clock.start();
        while (!allAnswered(monitor.model()) && clock.elapsed() < 60000)
            QTest::qWait(50);

        StallMeter meter;
        QProcess sleepers;
        sleepers.start(
            QStringLiteral("sh"),
            {QStringLiteral("-c"),
             QStringLiteral("for i in $(seq 300); do sleep %1 & done; wait").arg(seconds + 120)});
        sleepers.waitForStarted();
        clock.restart();
        const int before = monitor.model()->rowCount();
        while ((monitor.model()->rowCount() < before + 300 || !allAnswered(monitor.model())) &&
               clock.elapsed() < 120000)
            QTest::qWait(20);
        const qint64 firstPass = clock.elapsed();
        const qint64 stallFirst = meter.takeLongest();
        QTest::qWait(seconds * 1000);
        const qint64 stallSteady = meter.takeLongest();

        const int rows = monitor.model()->rowCount();
        const QString text = QStringLiteral("sleepxyz");
        QList<qint64> times;
        for (int i = 0; i < keys; ++i) {
            QElapsedTimer key;
            key.start();
            if (tab.filterEdit()->text().size() >= text.size())
                tab.filterEdit()->clear();
            QTest::keyClick(tab.filterEdit(), text.at(tab.filterEdit()->text().size()).toLatin1());
            times << key.nsecsElapsed() / 1000;
            QCoreApplication::processEvents();
        }
        std::sort(times.begin(), times.end());
        std::printf("rows with the sleepers          %d\n", rows);
        std::printf("first pass over 300 sleepers   %lld ms\n", firstPass);
        std::printf("longest GUI stall, first pass  %lld ms\n", stallFirst);
        std::printf("longest GUI stall, %d s steady %lld ms\n", seconds, stallSteady);
        std::printf("filter key, median / longest   %.2f / %.2f ms (%d keys)\n",
                    times.at(times.size() / 2) / 1000.0, times.last() / 1000.0, keys);
        monitor.setScanEnabled(false);
        // The sleepers first, then their shell.
        QProcess::execute(QStringLiteral("pkill"),
                          {QStringLiteral("-P"), QString::number(sleepers.processId())});
        sleepers.kill();
        sleepers.waitForFinished();
        while (running > 0)
            QTest::qWait(20);
    }
    db.close();
    return 0;
}
