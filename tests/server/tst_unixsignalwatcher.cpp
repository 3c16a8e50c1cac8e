#include "server/unixsignalwatcher.h"
#include "testenvironment.h"

#include <QtTest>

#include <csignal>

namespace {

volatile sig_atomic_t g_earlierHandlerCalls = 0;

void earlierHandler(int)
{
    g_earlierHandlerCalls = g_earlierHandlerCalls + 1;
}

} // namespace

class TestUnixSignalWatcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void turnsSignalsIntoQtSignals()
    {
        UnixSignalWatcher watcher;
        QVERIFY(watcher.isValid());
        QSignalSpy hangups(&watcher, &UnixSignalWatcher::hangupReceived);
        QSignalSpy terminations(&watcher, &UnixSignalWatcher::terminationRequested);

        QCOMPARE(::raise(SIGHUP), 0);
        QCOMPARE(::raise(SIGHUP), 0);
        QTRY_COMPARE_WITH_TIMEOUT(hangups.size(), 2, 5000);
        QCOMPARE(terminations.size(), 0);

        QCOMPARE(::raise(SIGTERM), 0);
        QCOMPARE(::raise(SIGINT), 0);
        QTRY_COMPARE_WITH_TIMEOUT(terminations.size(), 2, 5000);
        QCOMPARE(terminations.at(0).at(0).toInt(), SIGTERM);
        QCOMPARE(terminations.at(1).at(0).toInt(), SIGINT);
        QCOMPARE(hangups.size(), 2);
    }

    void onlyOneWatcherAtATimeAndTheEarlierHandlerComesBack()
    {
        struct sigaction earlier = {};
        earlier.sa_handler = earlierHandler;
        sigemptyset(&earlier.sa_mask);
        struct sigaction saved = {};
        QCOMPARE(::sigaction(SIGHUP, &earlier, &saved), 0);
        {
            UnixSignalWatcher first;
            QVERIFY(first.isValid());
            QTest::ignoreMessage(
                QtCriticalMsg, "UnixSignalWatcher::UnixSignalWatcher() another watcher is active");
            UnixSignalWatcher second;
            QVERIFY(!second.isValid());
            QSignalSpy hangups(&first, &UnixSignalWatcher::hangupReceived);
            QCOMPARE(::raise(SIGHUP), 0);
            QTRY_COMPARE_WITH_TIMEOUT(hangups.size(), 1, 5000);
            QCOMPARE(int(g_earlierHandlerCalls), 0);
        }
        QCOMPARE(::raise(SIGHUP), 0);
        QCOMPARE(int(g_earlierHandlerCalls), 1);
        QCOMPARE(::sigaction(SIGHUP, &saved, nullptr), 0);

        // A new watcher can be made once the first is gone.
        UnixSignalWatcher again;
        QVERIFY(again.isValid());
    }
};

QTEST_GUILESS_MAIN(TestUnixSignalWatcher)
#include "tst_unixsignalwatcher.moc"
