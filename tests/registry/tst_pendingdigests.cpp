#include "registry/pendingdigests.h"
#include "testenvironment.h"

#include <QtTest>

class TestPendingDigests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void repeatsAreAnsweredTogether()
    {
        PendingDigests pending;
        pending.start({"a", "b", "a", "c", "a"});
        QCOMPARE(pending.snapshot(), QList<QString>({"a", "b", "c"}));
        QCOMPARE(pending.removeAll("a"), 3);
        QCOMPARE(pending.removeAll("a"), 0); // an answer already taken
        QCOMPARE(pending.removeAll("never asked"), 0);
        QCOMPARE(pending.snapshot(), QList<QString>({"b", "c"}));
        QVERIFY(!pending.isEmpty());
    }

    void aDigestAnsweredAndAddedAgainIsPendingOnce()
    {
        PendingDigests pending;
        pending.start({"a", "b"});
        QCOMPARE(pending.removeAll("a"), 1);
        QVERIFY(pending.appendIfRunning({"a", "a"}));
        QList<QString> snapshot = pending.snapshot();
        std::sort(snapshot.begin(), snapshot.end());
        QCOMPARE(snapshot, QList<QString>({"a", "b"}));
        QCOMPARE(pending.removeAll("a"), 2);
        QCOMPARE(pending.snapshot(), QList<QString>({"b"}));
    }

    void additionsAreRefusedOnceTheRunHasEnded()
    {
        PendingDigests pending;
        QVERIFY(!pending.isRunning());
        QVERIFY(!pending.appendIfRunning({"a"}));
        QVERIFY(pending.isEmpty());

        pending.start({"a"});
        QVERIFY(pending.isRunning());
        QVERIFY(!pending.finishIfEmpty()); // "a" still waits
        QVERIFY(pending.isRunning());
        pending.removeAll("a");
        QVERIFY(pending.finishIfEmpty());
        QVERIFY(!pending.isRunning());
        QVERIFY(!pending.appendIfRunning({"b"}));
        QVERIFY(pending.isEmpty());

        pending.start({"c"});
        pending.finish(); // a stop ends the run with digests left
        QVERIFY(!pending.isRunning());
        QVERIFY(!pending.appendIfRunning({"d"}));
        QCOMPARE(pending.snapshot(), QList<QString>({"c"}));

        pending.start({"e"}); // a new run starts from the given digests only
        QCOMPARE(pending.snapshot(), QList<QString>({"e"}));
    }
};

QTEST_GUILESS_MAIN(TestPendingDigests)
#include "tst_pendingdigests.moc"
