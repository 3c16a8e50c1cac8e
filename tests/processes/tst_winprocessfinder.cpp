#include "fakerunningprocesses.h"
#include "processes/winprocessfinder.h"
#include "testenvironment.h"

#include <QtTest>

class TestWinProcessFinder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void recordsOfTheSnapshot()
    {
        FakeRunningProcesses fake;
        fake.setSnapshot({
            FakeRunningProcesses::process(1, "init", 0),
            FakeRunningProcesses::process(2, "kthreadd", 0, 'S', ProcStat::KernelThreadFlag),
            FakeRunningProcesses::process(12, "kworker/0:1", 2, 'I', 0x04208040),
            FakeRunningProcesses::process(300, "a b) (c|d", 1),
            FakeRunningProcesses::process(301, "sleep", 300, 'Z'),
            FakeRunningProcesses::process(302, "", 300, 'R'),
            FakeRunningProcesses::process(303, "dead", 300, 'X'),
            FakeRunningProcesses::process(304, "stopped", 300, 'T'),
        });
        WinProcessFinder finder;
        bool ok = false;
        // Kernel threads and zombies are left out; the order is the system's.
        QCOMPARE(finder.getProcesses(&ok),
                 QList<QString>({"1|init|0", "300|a b) (c|d|1", "302||300", "304|stopped|300"}));
        QVERIFY(ok);

        QSignalSpy snapshots(&finder, &WinProcessFinder::currentProcessData);
        finder.start();
        QVERIFY(finder.wait(10000));
        QCOMPARE(snapshots.size(), 1);
        QCOMPARE(snapshots.first().first().value<QList<QString>>().size(), 4);
    }

    void failedSnapshotReportsNothing()
    {
        // Reported as an empty snapshot, it would retire every process.
        FakeRunningProcesses fake;
        fake.setListFails(true);
        WinProcessFinder finder;
        bool ok = true;
        QVERIFY(finder.getProcesses(&ok).isEmpty());
        QVERIFY(!ok);

        QSignalSpy snapshots(&finder, &WinProcessFinder::currentProcessData);
        QTest::ignoreMessage(QtWarningMsg, "WinProcessFinder::run() could not take a snapshot; "
                                           "nothing is reported");
        finder.start();
        QVERIFY(finder.wait(10000));
        QVERIFY(snapshots.isEmpty());
        QCOMPARE(fake.listCalls(), 2);
    }

    void thisMachine()
    {
        // A sleeper whose own child has ended unreaped: sh runs "sleep 0" in
        // the background, then becomes "sleep 30", which never waits for it.
        QProcess parent;
        parent.start(QStringLiteral("sh"),
                     {QStringLiteral("-c"), QStringLiteral("sleep 0 & exec sleep 30")});
        QVERIFY(parent.waitForStarted());
        const auto stop = qScopeGuard([&] {
            parent.kill();
            parent.waitForFinished();
        });
        const quint32 sleeper = quint32(parent.processId());
        const LinuxRunningProcesses machine;
        const auto zombieChild = [&]() -> quint32 {
            QList<ProcStat> processes;
            if (!machine.list(&processes))
                return 0;
            for (const ProcStat &process : std::as_const(processes)) {
                if (process.parentPid == sleeper && process.isZombie())
                    return process.pid;
            }
            return 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(zombieChild() != 0, 10000);
        const quint32 zombie = zombieChild();
        ProcStat stat;
        QTRY_VERIFY_WITH_TIMEOUT(machine.stat(sleeper, &stat) == 0 && stat.name == "sleep", 10000);

        WinProcessFinder finder;
        bool ok = false;
        const QList<QString> records = finder.getProcesses(&ok);
        QVERIFY(ok);
        QVERIFY(records.contains(
            QStringLiteral("%1|sleep|%2").arg(sleeper).arg(QCoreApplication::applicationPid())));
        for (const QString &record : records)
            QVERIFY2(!record.startsWith(QStringLiteral("%1|").arg(zombie)), qPrintable(record));

        // Kernel threads, where this machine shows any, are left out.
        QList<ProcStat> processes;
        QVERIFY(machine.list(&processes));
        for (const ProcStat &process : std::as_const(processes)) {
            if (process.isKernelThread())
                QVERIFY(!records.contains(QStringLiteral("%1|%2|%3")
                                              .arg(process.pid)
                                              .arg(process.displayName())
                                              .arg(process.parentPid)));
        }
    }
};

QTEST_GUILESS_MAIN(TestWinProcessFinder)
#include "tst_winprocessfinder.moc"
