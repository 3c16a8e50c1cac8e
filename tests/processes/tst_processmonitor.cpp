#include "app/mainwindow.h"
#include "childprograms.h"
#include "fakeplatforminfo.h"
#include "fakerunningprocesses.h"
#include "platform/clock.h"
#include "processes/modulemanager.h"
#include "processes/processmonitor.h"
#include "processes/processsqlmodel.h"
#include "processes/winprocesspopulator.h"
#include "registry/orvexcache.h"
#include "registry/orvexhandler.h"
#include "registrytestserver.h"
#include "testenvironment.h"

#include <QStackedWidget>
#include <QToolButton>
#include <QtSql>
#include <QtTest>

namespace {
constexpr quint32 LastSeen = 1275400000;

QList<QVariantList> tableRows(const QString &sql)
{
    QSqlQuery query;
    if (!query.exec(sql))
        qFatal("test query failed: %s", qPrintable(query.lastError().text()));
    QList<QVariantList> rows;
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < query.record().count(); ++i)
            row.append(query.isNull(i) ? QVariant() : query.value(i));
        rows.append(row);
    }
    return rows;
}

QList<QVariantList> rowsOf(quint32 pid, const QString &columns)
{
    return tableRows(
        QStringLiteral("SELECT %1 FROM processes WHERE pid = %2").arg(columns).arg(pid));
}

// The registry road as the main window runs it: a handler per list of
// digests, sharing one cache, its answers handed to the monitor.
class Road : public QObject
{
public:
    explicit Road(ProcessMonitor &monitor)
    {
        connect(&monitor, &ProcessMonitor::queryOrvex, this,
                [this, &monitor](const QList<QString> &digests) {
                    if (digests.isEmpty())
                        return;
                    auto *handler = new OrvexHandler(&m_cache);
                    connect(handler, &QThread::finished, handler, &QObject::deleteLater);
                    connect(handler, &QThread::finished, this, [this] { --m_running; });
                    ++m_running;
                    monitor.attachQuery(handler);
                    handler->sendQuery(digests);
                });
    }
    // Handlers are gone before the monitor and the test server.
    ~Road() override { QTRY_VERIFY_WITH_TIMEOUT(m_running == 0, 30000); }

private:
    OrvexCache m_cache;
    int m_running = 0;
};

// Polls by hand. A poll while the last snapshot is still being taken is lost,
// so it is repeated until a new snapshot has begun.
bool startPoll(ProcessMonitor &monitor, const FakeRunningProcesses &fake)
{
    const int calls = fake.listCalls();
    QElapsedTimer clock;
    clock.start();
    while (fake.listCalls() == calls) {
        if (clock.elapsed() > 30000)
            return false;
        monitor.scanProcesses();
        QTest::qWait(1);
    }
    return true;
}

// Polls by hand and waits until that snapshot is in the table.
bool pollOnce(ProcessMonitor &monitor, const FakeRunningProcesses &fake)
{
    QSignalSpy merged(&monitor, &ProcessMonitor::snapshotMerged);
    return startPoll(monitor, fake) && merged.wait(30000);
}
} // namespace

class TestProcessMonitor : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;

    ProgramCopy copy(const QString &name, const QByteArray &tag)
    {
        const ProgramCopy program = ProgramCopy::make(m_dir->path(), name, tag);
        if (program.path.isEmpty())
            qFatal("cannot copy sleep to %s", qPrintable(name));
        return program;
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
        if (QStandardPaths::findExecutable(QStringLiteral("sleep")).isEmpty())
            QSKIP("sleep is not installed");
    }
    void init()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(db.open());
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        Clock::setTestWaitDivisor(20);
        ProcessMonitor::setTestMonitoringEnabled(true);
    }
    void cleanup()
    {
        Clock::resetTestSeam();
        qunsetenv("WINORVEX_REGISTRY");
        delete m_dir;
        m_dir = nullptr;
        QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }

    void designedWaits()
    {
        Clock::resetTestSeam();
        ProcessMonitor monitor;
        QCOMPARE(monitor.pollInterval(), 1000);
        QCOMPARE(ProcessMonitor::PollIntervalMs, 1000);
        QCOMPARE(WinProcessPopulator::PassPauseMs, 1000);
        QCOMPARE(WinProcessPopulator::MaxPasses, 10);
        // The test seam shortens the poll that a start sets.
        FakeRunningProcesses fake;
        fake.setSnapshot({});
        Clock::setTestWaitDivisor(20);
        monitor.setScanEnabled(true);
        QCOMPARE(monitor.pollInterval(), 50);
        monitor.setScanEnabled(false);
    }

    void switchedOffForTests()
    {
        FakeRunningProcesses fake;
        ProcessMonitor::setTestMonitoringEnabled(false);
        ProcessMonitor monitor;
        QSignalSpy enabled(&monitor, &ProcessMonitor::processScanEnabled);
        monitor.setScanEnabled(true);
        QVERIFY(!monitor.isScanEnabled());
        QCOMPARE(enabled.takeFirst(), QVariantList{false});
        QCOMPARE(fake.listCalls(), 0);

        ProcessMonitor::setTestMonitoringEnabled(true);
        monitor.setScanEnabled(true);
        QVERIFY(monitor.isScanEnabled());
        QCOMPARE(enabled.takeFirst(), QVariantList{true});
        monitor.setScanEnabled(false);
        QVERIFY(!monitor.isScanEnabled());
    }

    void childIsCheckedAndRetired_data()
    {
        QTest::addColumn<int>("rate");
        QTest::newRow("clean") << 0;
        QTest::newRow("malicious") << 70;
    }
    void childIsCheckedAndRetired()
    {
        QFETCH(int, rate);
        const ProgramCopy program = copy(QStringLiteral("watched | me"), "watched");
        RegistryTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_REGISTRY", server.address());
        server.setAnswer(program.md5, LastSeen, rate);

        FakeRunningProcesses fake;
        fake.listOwnChildren();
        ProcessMonitor monitor;
        Road road(monitor);
        QSignalSpy malware(&monitor, &ProcessMonitor::malwareProcessFound);
        QVERIFY(pollOnce(monitor, fake));
        QCOMPARE(monitor.model()->rowCount(), 0);

        // The first poll after the start has the child, with its record.
        Sleepers sleepers;
        const quint32 pid = sleepers.start(program.path);
        QVERIFY(pid);
        QVERIFY(pollOnce(monitor, fake));
        const quint32 self = quint32(QCoreApplication::applicationPid());
        QCOMPARE(rowsOf(pid, QStringLiteral("pid, base_name, parent_pid, is_alive")),
                 QList<QVariantList>({{pid, "watched | me", self, 1}}));

        // Path, digests and then the verdict, with no further poll.
        QTRY_COMPARE_WITH_TIMEOUT(rowsOf(pid, QStringLiteral("orvex_state")),
                                  QList<QVariantList>({{4}}), 30000);
        QCOMPARE(rowsOf(pid, QStringLiteral("file_path, md5, sha1, detection_percentage, status")),
                 QList<QVariantList>({{program.path, program.md5, program.sha1, rate,
                                       "Checked against the malware database."}}));
        const QList<QVariantList> icons = rowsOf(pid, QStringLiteral("small_icon, large_icon"));
        for (const QVariant &icon : icons.first())
            QVERIFY(!QByteArray::fromBase64(icon.toString().toLatin1()).isEmpty());
        if (rate > 0) {
            QTRY_COMPARE(malware.size(), 1);
            QCOMPARE(malware.first(), QVariantList({program.path, pid}));
        }

        sleepers.stop(pid);
        QVERIFY(pollOnce(monitor, fake));
        if (rate > 0)
            QCOMPARE(rowsOf(pid, QStringLiteral("is_alive")), QList<QVariantList>({{0}}));
        else
            QVERIFY(rowsOf(pid, QStringLiteral("is_alive")).isEmpty());
        QVERIFY(monitor.model()->aliveProcessRecords().isEmpty());
    }

    void timerPolls()
    {
        const ProgramCopy program = copy(QStringLiteral("timed"), "timed");
        // The module checks that the timer starts too ask a registry of their own.
        RegistryTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_REGISTRY", server.address());
        FakeRunningProcesses fake;
        fake.listOwnChildren();
        ProcessMonitor monitor;
        Sleepers sleepers;
        const quint32 pid = sleepers.start(program.path);
        QVERIFY(pid);
        monitor.setScanEnabled(true);
        QTRY_COMPARE_WITH_TIMEOUT(rowsOf(pid, QStringLiteral("md5")),
                                  QList<QVariantList>({{program.md5}}), 30000);
        sleepers.stop(pid);
        // No registry answers here: the row waits, no longer alive, for a verdict.
        QTRY_COMPARE_WITH_TIMEOUT(rowsOf(pid, QStringLiteral("is_alive")),
                                  QList<QVariantList>({{0}}), 30000);
        QVERIFY(monitor.model()->aliveProcessRecords().isEmpty());
    }

    void modulesAreMonitoredWithTheProcesses()
    {
        Clock::resetTestSeam();
        FakeRunningProcesses fake;
        fake.setSnapshot({});
        ProcessMonitor monitor;
        QCOMPARE(monitor.moduleManager()->scanInterval(), 10000);
        monitor.setScanEnabled(true);
        QVERIFY(monitor.moduleManager()->isScanEnabled());
        monitor.setScanEnabled(false);
        QVERIFY(!monitor.moduleManager()->isScanEnabled());
        ProcessMonitor::setTestMonitoringEnabled(false);
        monitor.setScanEnabled(true);
        QVERIFY(!monitor.moduleManager()->isScanEnabled());
    }

    void maliciousModuleMarksItsProcess()
    {
        const LibraryCopy evil =
            LibraryCopy::make(m_dir->path(), QStringLiteral("libevil.so"), "e");
        QVERIFY(!evil.path.isEmpty());
        RegistryTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_REGISTRY", server.address());
        server.setAnswer(evil.md5, LastSeen, 75);

        FakeRunningProcesses fake;
        fake.listOwnChildren();
        ProcessMonitor monitor;
        Road road(monitor);
        QSignalSpy moduleMalware(&monitor, &ProcessMonitor::malwareModuleFound);
        Sleepers children;
        const quint32 pid = children.startLoader({evil.path});
        QVERIFY(pid);
        QVERIFY(pollOnce(monitor, fake));

        QSignalSpy merged(monitor.moduleManager(), &ModuleManager::modulesMerged);
        monitor.moduleManager()->scanModules();
        QVERIFY(merged.wait(30000));
        QTRY_COMPARE_WITH_TIMEOUT(rowsOf(pid, QStringLiteral("malicious_module_count")),
                                  QList<QVariantList>({{1}}), 30000);
        QCOMPARE(moduleMalware.size(), 1);
        QCOMPARE(moduleMalware.first(), QVariantList({evil.path, pid}));
        // The loader itself is clean: only its module marks it.
        QTRY_COMPARE_WITH_TIMEOUT(rowsOf(pid, QStringLiteral("orvex_state")),
                                  QList<QVariantList>({{4}}), 30000);
        QCOMPARE(monitor.model()->rowCount(), 1);
        QTRY_VERIFY(monitor.model()->hasMaliciousModules(0));
        QVERIFY(!monitor.model()->isMalware(0));

        // Checked again, the module counts once still.
        merged.clear();
        monitor.moduleManager()->scanModules();
        QVERIFY(merged.wait(30000));
        QTRY_VERIFY_WITH_TIMEOUT(!monitor.moduleManager()->isDigesting(), 30000);
        QCOMPARE(rowsOf(pid, QStringLiteral("malicious_module_count")), QList<QVariantList>({{1}}));
        QCOMPARE(moduleMalware.size(), 1);
    }

    void moduleRegistryTroubleShowsAndRetryReachesIt()
    {
        const QString md5 = QStringLiteral("00112233445566778899aabbccddeeff");
        RegistryTestServer server;
        QVERIFY(server.listen());
        server.setAnswer(md5, LastSeen, 0);
        QVERIFY(server.setRefusing(true));
        qputenv("WINORVEX_REGISTRY", server.address());
        Clock::setTestWaitDivisor(100);
        FakePlatformInfo info(0x0601, true);
        ProcessMonitor::setTestMonitoringEnabled(false);
        QSqlDatabase::database().close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));

        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        OrvexHandler *handler = window.processMonitor()->moduleManager()->orvexHandler();
        QSignalSpy answers(handler, &OrvexHandler::setOrvexDataPacked);
        handler->sendQuery(QList<QString>{md5});
        auto *panel = window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget_network"));
        QVERIFY(panel);
        QTRY_VERIFY_WITH_TIMEOUT(!panel->isHidden(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(panel->currentWidget()->objectName(),
                                  QStringLiteral("page_net_failed"), 30000);
        QCOMPARE(answers.size(), 0);

        QVERIFY(server.setRefusing(false));
        window.findChild<QToolButton *>(QStringLiteral("toolButton_net_retry"))->click();
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 1, 30000);
        QVERIFY(answers.first().first().toString().startsWith(md5 + QStringLiteral("|0|")));
        QTRY_VERIFY_WITH_TIMEOUT(panel->isHidden(), 30000);
    }

    void failedSnapshotRetiresNothing()
    {
        const ProgramCopy program = copy(QStringLiteral("steady"), "steady");
        FakeRunningProcesses fake;
        fake.listOwnChildren();
        ProcessMonitor monitor;
        Sleepers sleepers;
        const quint32 pid = sleepers.start(program.path);
        QVERIFY(pid);
        QVERIFY(pollOnce(monitor, fake));
        const QList<QVariantList> before = rowsOf(pid, QStringLiteral("id, is_alive"));
        QCOMPARE(before.size(), 1);

        // The failed snapshot must not reach the table as an empty one: the
        // next snapshot to arrive is the good one, and the row is untouched.
        fake.setListFails(true);
        QTest::ignoreMessage(QtWarningMsg, "WinProcessFinder::run() could not take a snapshot; "
                                           "nothing is reported");
        QVERIFY(startPoll(monitor, fake));
        fake.setListFails(false);
        QVERIFY(pollOnce(monitor, fake));
        QCOMPARE(rowsOf(pid, QStringLiteral("id, is_alive")), before);
    }

    void snapshotsArrivingTogetherAddEachProcessOnce()
    {
        // Two snapshots arrive before the first is merged: each merge must
        // see the table as the one before it left it.
        FakeRunningProcesses fake;
        ProcessMonitor monitor;
        QSignalSpy merged(&monitor, &ProcessMonitor::snapshotMerged);
        const QList<QString> snapshot{"4000000001|alpha|1", "4000000002|beta|1"};
        monitor.receiveSnapshotData(snapshot);
        monitor.receiveSnapshotData(snapshot + QList<QString>{"4000000003|gamma|1"});
        QTRY_COMPARE_WITH_TIMEOUT(merged.size(), 2, 30000);
        QCOMPARE(tableRows(QStringLiteral("SELECT pid FROM processes ORDER BY pid")),
                 QList<QVariantList>({{4000000001u}, {4000000002u}, {4000000003u}}));
        // A later snapshot waiting for its turn replaces one that waited before it.
        monitor.receiveSnapshotData({"4000000001|alpha|1"});
        monitor.receiveSnapshotData({"4000000004|delta|1"});
        monitor.receiveSnapshotData({"4000000005|epsilon|1"});
        QTRY_COMPARE_WITH_TIMEOUT(merged.size(), 4, 30000);
        QCOMPARE(tableRows(QStringLiteral("SELECT pid FROM processes")),
                 QList<QVariantList>({{4000000005u}}));
    }

    void mainWindowStartsMonitoring()
    {
        const ProgramCopy program = copy(QStringLiteral("seen by window"), "window");
        RegistryTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_REGISTRY", server.address());
        server.setAnswer(program.md5, LastSeen, 0);
        Sleepers sleepers;
        const quint32 pid = sleepers.start(program.path);
        QVERIFY(pid);

        FakePlatformInfo info(0x0601, true);
        FakeRunningProcesses fake;
        fake.listOwnChildren();
        // The window opens a database of its own.
        QSqlDatabase::database().close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
        {
            MainWindow window;
            QVERIFY(window.processMonitor()->isScanEnabled());
            // The answer comes through the main window's road.
            QTRY_COMPARE_WITH_TIMEOUT(rowsOf(pid, QStringLiteral("orvex_state, md5")),
                                      QList<QVariantList>({{4, program.md5}}), 30000);
            // Asked once; the module checks of the same pass ask their own.
            QTRY_COMPARE_WITH_TIMEOUT(server.timesAnswered(program.md5), 1, 30000);
        }

        // Switched off, as the window tests have it: not one look at the processes.
        ProcessMonitor::setTestMonitoringEnabled(false);
        FakeRunningProcesses untouched;
        MainWindow window;
        QVERIFY(!window.processMonitor()->isScanEnabled());
        QCOMPARE(untouched.listCalls(), 0);
    }
};

QTEST_MAIN(TestProcessMonitor)
#include "tst_processmonitor.moc"
