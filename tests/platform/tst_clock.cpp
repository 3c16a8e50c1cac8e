#include "platform/clock.h"
#include "testenvironment.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

class TestClock : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void cleanup() { Clock::resetTestSeam(); }

    void shippedWaitsAreTheDesignedOnes()
    {
        for (int designed : {250, 1000, 2000, 10000, 30000, 32000})
            QCOMPARE(Clock::wait(designed), designed);
        const qint64 real = QDateTime::currentSecsSinceEpoch();
        QVERIFY(qAbs(Clock::currentSecsSinceEpoch() - real) <= 1);
    }

    void seamDividesWaitsButKeepsThemPositive()
    {
        Clock::setTestWaitDivisor(100);
        QCOMPARE(Clock::wait(1000), 10);
        QCOMPARE(Clock::wait(50), 1);
        QCOMPARE(Clock::wait(0), 0);
        Clock::setTestWaitDivisor(0); // nonsense is treated as "no scaling"
        QCOMPARE(Clock::wait(1000), 1000);
    }

    // A designed minute of waiting ends as soon as the stop is seen, and a wait
    // that is not stopped lasts its (shortened) duration.
    void stoppableSleep()
    {
        QElapsedTimer timer;
        timer.start();
        std::atomic<bool> stop{false};
        std::unique_ptr<QThread> stopper(QThread::create([&stop] {
            QThread::msleep(100);
            stop.store(true);
        }));
        stopper->start();
        QVERIFY(!Clock::sleepUnlessStopped(60000, [&stop] { return stop.load(); }));
        QVERIFY2(timer.elapsed() < 30000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(stopper->wait(5000));

        Clock::setTestWaitDivisor(10);
        timer.restart();
        QVERIFY(Clock::sleepUnlessStopped(1000, [] { return false; }));
        QVERIFY(timer.elapsed() >= 100);
        QVERIFY(!Clock::sleepUnlessStopped(1000, [] { return true; }));
    }

    void seamShiftsNow()
    {
        const qint64 before = Clock::currentSecsSinceEpoch();
        Clock::advanceTestTime(3600);
        QVERIFY(Clock::currentSecsSinceEpoch() - before >= 3600);
        QVERIFY(Clock::currentDateTime().toSecsSinceEpoch() - before >= 3600);
        Clock::resetTestSeam();
        QVERIFY(Clock::currentSecsSinceEpoch() - before < 3600);
    }
};

QTEST_GUILESS_MAIN(TestClock)
#include "tst_clock.moc"
