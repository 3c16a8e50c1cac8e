#include "platform/clock.h"
#include "testenvironment.h"

#include <QtTest>

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
