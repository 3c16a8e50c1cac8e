#include "processes/snapshotmerger.h"
#include "testenvironment.h"

#include <QtTest>

namespace {
struct Merge
{
    QStringList removed;
    QStringList added;
    QStringList order; // "removed" and "new", as emitted
};

Merge merge(const QStringList &previous, const QStringList &current)
{
    Merge result;
    SnapshotMerger merger;
    merger.setPreviousItems(previous);
    merger.setCurrentItems(current);
    QObject::connect(
        &merger, &SnapshotMerger::removedItems, &merger,
        [&result](const QList<QString> &items) {
            result.removed << items;
            result.order << QStringLiteral("removed");
        },
        Qt::DirectConnection);
    QObject::connect(
        &merger, &SnapshotMerger::newItems, &merger,
        [&result](const QList<QString> &items) {
            result.added << items;
            result.order << QStringLiteral("new");
        },
        Qt::DirectConnection);
    merger.start();
    merger.wait();
    result.removed.sort();
    result.added.sort();
    return result;
}
} // namespace

class TestSnapshotMerger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void differences_data()
    {
        QTest::addColumn<QStringList>("previous");
        QTest::addColumn<QStringList>("current");
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<QStringList>("added");

        const QStringList machine{"1|init|0", "200|bash|1", "300|sleep|200"};
        QTest::newRow("equal snapshots say nothing")
            << machine << machine << QStringList() << QStringList();
        QTest::newRow("order within a snapshot does not matter")
            << machine << QStringList{"300|sleep|200", "1|init|0", "200|bash|1"} << QStringList()
            << QStringList();
        QTest::newRow("first snapshot against an empty table: everything is new")
            << QStringList() << machine << QStringList() << machine;
        QTest::newRow("an exit is reported once, as stored")
            << machine << QStringList{"1|init|0", "200|bash|1"} << QStringList{"300|sleep|200"}
            << QStringList();
        QTest::newRow("a pid reused by another program")
            << machine << QStringList{"1|init|0", "200|bash|1", "300|cat|200"}
            << QStringList{"300|sleep|200"} << QStringList{"300|cat|200"};
        QTest::newRow("a pid reused under another parent")
            << machine << QStringList{"1|init|0", "200|bash|1", "300|sleep|1"}
            << QStringList{"300|sleep|200"} << QStringList{"300|sleep|1"};
        QTest::newRow("the same record twice is reported once")
            << QStringList() << QStringList{"5|a|1", "5|a|1"} << QStringList()
            << QStringList{"5|a|1"};
        QTest::newRow("an empty name travels like any other")
            << QStringList{"7||1"} << QStringList{"8||1"} << QStringList{"7||1"}
            << QStringList{"8||1"};
        QTest::newRow("names holding bars and blanks are compared whole")
            << QStringList{"9|a|b c|1"} << QStringList{"9|a|b  c|1"} << QStringList{"9|a|b c|1"}
            << QStringList{"9|a|b  c|1"};
        QTest::newRow("everything ended") << machine << QStringList() << machine << QStringList();
    }
    void differences()
    {
        QFETCH(QStringList, previous);
        QFETCH(QStringList, current);
        QFETCH(QStringList, removed);
        QFETCH(QStringList, added);
        removed.sort();
        added.sort();
        const Merge result = merge(previous, current);
        QCOMPARE(result.removed, removed);
        QCOMPARE(result.added, added);
        // Never an empty list, and removals before arrivals.
        QStringList order;
        if (!removed.isEmpty())
            order << QStringLiteral("removed");
        if (!added.isEmpty())
            order << QStringLiteral("new");
        QCOMPARE(result.order, order);
    }
};

QTEST_GUILESS_MAIN(TestSnapshotMerger)
#include "tst_snapshotmerger.moc"
