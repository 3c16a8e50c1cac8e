#include "platform/clock.h"
#include "registry/orvexresponse.h"
#include "testenvironment.h"

#include <QtTest>

class TestOrvexResponse : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void cleanup() { Clock::resetTestSeam(); }

    void startsEmptyWithNoData()
    {
        OrvexResponse response;
        QCOMPARE(response.storedAt(), 0u);
        QCOMPARE(response.lastSeen(), 0u);
        QCOMPARE(response.detectionRate(), -1);
    }

    void settingTheAnswerStampsItWithTheLogicsNow()
    {
        Clock::advanceTestTime(7200);
        const qint64 before = Clock::currentSecsSinceEpoch();
        OrvexResponse response;
        response.setResponse(1275400000u, 12);
        QCOMPARE(response.lastSeen(), 1275400000u);
        QCOMPARE(response.detectionRate(), 12);
        QVERIFY(qint64(response.storedAt()) >= before);
        QVERIFY(qint64(response.storedAt()) <= Clock::currentSecsSinceEpoch());
    }
};

QTEST_GUILESS_MAIN(TestOrvexResponse)
#include "tst_orvexresponse.moc"
