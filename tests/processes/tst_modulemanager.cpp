#include "childprograms.h"
#include "platform/clock.h"
#include "processes/modulemanager.h"
#include "processes/modulemodel.h"
#include "processes/moduleview.h"
#include "processes/processsqlmodel.h"
#include "registry/orvexcheckstate.h"
#include "registry/orvexhandler.h"
#include "registrytestserver.h"
#include "testenvironment.h"

#include <QHeaderView>
#include <QtSql>
#include <QtTest>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const char ChildVariable[] = "WINORVEX_TST_MODULEMANAGER_CHILD";
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

// The rows of one module file, in table order.
QList<QVariantList> rowsOf(const QString &path, const QString &columns)
{
    QSqlQuery query;
    query.prepare(
        QStringLiteral("SELECT %1 FROM modules WHERE path == ? ORDER BY id").arg(columns));
    query.addBindValue(path);
    if (!query.exec())
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

// Module files read so far, as the manager's log counts them.
int filesRead(const LogCapture &log)
{
    int files = 0;
    static const QRegularExpression reading(
        QStringLiteral("ModuleManager::startNextBatch\\(\\) reading (\\d+) module files"));
    for (const QString &line : log.lines()) {
        const QRegularExpressionMatch match = reading.match(line);
        if (match.hasMatch())
            files += match.captured(1).toInt();
    }
    return files;
}

bool openDatabase()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    return db.open();
}

// One module pass, by hand: a snapshot and its merge.
bool scanOnce(ModuleManager &manager)
{
    QSignalSpy merged(&manager, &ModuleManager::modulesMerged);
    manager.scanModules();
    return merged.wait(30000);
}

// Without root: a library loaded by a process of this user from a folder this
// user can no longer enter is not read by any other way. Prints its row.
int runAsChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!openDatabase())
        return 1;
    Clock::setTestWaitDivisor(20);
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("locked"));
    if (!QDir().mkpath(folder))
        return 1;
    const LibraryCopy library = LibraryCopy::make(folder, QStringLiteral("liblocked.so"), "lock");
    Sleepers children;
    const quint32 pid = children.startLoader({library.path});
    if (!pid || ::chmod(QFile::encodeName(folder).constData(), 0) != 0)
        return 1;
    ProcessSqlModel processes;
    processes.addProcesses({Sleepers::record(pid, Sleepers::loaderPath())});
    ModuleManager manager;
    manager.setPIDModel(&processes);
    if (!scanOnce(manager))
        return 1;
    QElapsedTimer clock;
    clock.start();
    while (rowsOf(library.path, QStringLiteral("orvex_state")) !=
               QList<QVariantList>({{int(UnableToCheck)}}) &&
           clock.elapsed() < 30000)
        QTest::qWait(10);
    const QList<QVariantList> rows =
        rowsOf(library.path, QStringLiteral("orvex_state, md5, status"));
    for (const QVariantList &row : rows)
        std::printf("%d %s %s\n", row.at(0).toInt(), qPrintable(row.at(1).toString()),
                    qPrintable(row.at(2).toString()));
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    return 0;
}
} // namespace

class TestModuleManager : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RegistryTestServer> m_server;
    std::unique_ptr<ProcessSqlModel> m_processes;

    LibraryCopy library(const QString &name, const QByteArray &tag)
    {
        const LibraryCopy copy = LibraryCopy::make(m_dir->path(), name, tag);
        if (copy.path.isEmpty())
            qFatal("cannot copy the test library to %s", qPrintable(name));
        return copy;
    }
    void watch(quint32 pid)
    {
        m_processes->addProcesses({Sleepers::record(pid, Sleepers::loaderPath())});
    }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void init()
    {
        QVERIFY(openDatabase());
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_server = std::make_unique<RegistryTestServer>();
        QVERIFY(m_server->listen());
        qputenv("WINORVEX_REGISTRY", m_server->address());
        Clock::setTestWaitDivisor(20);
        m_processes = std::make_unique<ProcessSqlModel>();
    }
    void cleanup()
    {
        m_processes.reset();
        Clock::resetTestSeam();
        qunsetenv("WINORVEX_REGISTRY");
        m_server.reset();
        m_dir.reset();
        QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }

    void designedValues()
    {
        Clock::resetTestSeam();
        ModuleManager manager;
        QCOMPARE(ModuleManager::ScanIntervalMs, 10000);
        QCOMPARE(manager.scanInterval(), 10000);
        QVERIFY(!manager.isScanEnabled());
        Clock::setTestWaitDivisor(20);
        manager.setScanEnabled(true);
        QVERIFY(manager.isScanEnabled());
        QCOMPARE(manager.scanInterval(), 500);
        manager.setScanEnabled(false);
        QVERIFY(!manager.isScanEnabled());
    }

    void childsModuleIsChecked()
    {
        const LibraryCopy evil = library(QStringLiteral("lib'Evil_100%.so"), "evil");
        m_server->setAnswer(evil.md5, LastSeen, 65);
        Sleepers children;
        const quint32 pid = children.startLoader({evil.path});
        QVERIFY(pid);
        watch(pid);

        ModuleManager manager;
        manager.setPIDModel(m_processes.get());
        QSignalSpy malware(&manager, &ModuleManager::malwareModuleFound);
        QSignalSpy started(&manager, &ModuleManager::moduleScanStarted);
        QSignalSpy finished(&manager, &ModuleManager::moduleScanFinished);
        QVERIFY(scanOnce(manager));
        QTRY_COMPARE_WITH_TIMEOUT(rowsOf(evil.path, QStringLiteral("orvex_state")),
                                  QList<QVariantList>({{int(Checked)}}), 30000);
        QCOMPARE(rowsOf(evil.path, QStringLiteral("parent_pid, base_name, md5, sha1, "
                                                  "detection_percentage, is_loaded, status")),
                 QList<QVariantList>({{pid, "lib'Evil_100%.so", evil.md5, evil.sha1, 65, 1,
                                       "Checked against the malware database."}}));
        QCOMPARE(malware.size(), 1);
        QCOMPARE(malware.first(), QVariantList({evil.path, pid}));
        QVERIFY(started.size() >= 1);
        QTRY_VERIFY_WITH_TIMEOUT(finished.size() >= 1, 30000);
        // The loader's own program is not one of its modules.
        QVERIFY(rowsOf(Sleepers::loaderPath(), QStringLiteral("id")).isEmpty());

        // Unloaded (its process ended), a malicious module stays listed; the
        // process's other modules go.
        children.stop(pid);
        QVERIFY(scanOnce(manager));
        QCOMPARE(tableRows(QStringLiteral("SELECT path, is_loaded FROM modules")),
                 QList<QVariantList>({{evil.path, 0}}));
    }

    void moduleOfSeveralProcessesIsReadOnce()
    {
        const LibraryCopy shared = library(QStringLiteral("libshared.so"), "shared");
        m_server->setAnswer(shared.md5, LastSeen, 0);
        LogCapture log;
        Sleepers children;
        const quint32 first = children.startLoader({shared.path});
        const quint32 second = children.startLoader({shared.path});
        QVERIFY(first && second);
        watch(first);
        watch(second);

        ModuleManager manager;
        manager.setPIDModel(m_processes.get());
        QSignalSpy done(&manager, &ModuleManager::digestsDone);
        QVERIFY(scanOnce(manager));
        // The rows of one snapshot come in no particular order of processes.
        const auto byProcess = [&shared] {
            QList<QVariantList> rows =
                rowsOf(shared.path, QStringLiteral("parent_pid, md5, orvex_state"));
            std::sort(rows.begin(), rows.end(), [](const QVariantList &a, const QVariantList &b) {
                return a.first().toUInt() < b.first().toUInt();
            });
            return rows;
        };
        const auto [low, high] = std::minmax(first, second);
        QTRY_COMPARE_WITH_TIMEOUT(byProcess(),
                                  QList<QVariantList>({{low, shared.md5, int(Checked)},
                                                       {high, shared.md5, int(Checked)}}),
                                  30000);
        QTRY_VERIFY_WITH_TIMEOUT(!manager.isDigesting(), 30000);
        // Both processes load the same files: each is read once.
        const int distinct =
            tableRows(QStringLiteral("SELECT COUNT(DISTINCT file_id || path) FROM modules"))
                .first()
                .first()
                .toInt();
        QCOMPARE(tableRows(QStringLiteral("SELECT COUNT(*) FROM modules")).first().first().toInt(),
                 2 * distinct);
        QCOMPARE(filesRead(log), distinct);

        // A process that loads them later takes what is known: nothing is read.
        const quint32 third = children.startLoader({shared.path});
        QVERIFY(third);
        watch(third);
        QVERIFY(scanOnce(manager));
        QCOMPARE(rowsOf(shared.path, QStringLiteral("parent_pid, md5, orvex_state")).last(),
                 QVariantList({third, shared.md5, int(Checked)}));
        QCOMPARE(filesRead(log), distinct);
        QCOMPARE(m_server->timesAnswered(shared.md5), 1);
    }

    void replacedLibraryKeepsTheMappedBytes()
    {
        const LibraryCopy old = library(QStringLiteral("libupdated.so"), "old version");
        const QByteArray update = old.bytes + "new version";
        const QString updateMd5 =
            QString::fromLatin1(QCryptographicHash::hash(update, QCryptographicHash::Md5).toHex());
        m_server->setAnswer(old.md5, LastSeen, 90);
        Sleepers children;
        const quint32 pid = children.startLoader({old.path});
        QVERIFY(pid);
        watch(pid);
        QVERIFY(ProgramCopy::replace(old.path, update));

        ModuleManager manager;
        manager.setPIDModel(m_processes.get());
        QVERIFY(scanOnce(manager));
        const QString shown = old.path + QStringLiteral(" (deleted)");
        if (::geteuid() == 0) {
            QTRY_COMPARE_WITH_TIMEOUT(rowsOf(shown, QStringLiteral("md5, detection_percentage")),
                                      QList<QVariantList>({{old.md5, 90}}), 30000);
        } else {
            // Only a privileged program reaches the mapped bytes; the new file
            // of that name is never taken for them.
            QTRY_COMPARE_WITH_TIMEOUT(rowsOf(shown, QStringLiteral("md5, orvex_state")),
                                      QList<QVariantList>({{QVariant(), int(UnableToCheck)}}),
                                      30000);
        }
        QCOMPARE(m_server->timesAnswered(updateMd5), 0);
    }

    void unreadableModuleCannotBeChecked()
    {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        environment.insert(QStringLiteral("TMPDIR"), QStringLiteral("/tmp"));
        child.setProcessEnvironment(environment);
        if (::geteuid() == 0)
            child.start(QStringLiteral("setpriv"),
                        {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                         QStringLiteral("--clear-groups"),
                         QCoreApplication::applicationFilePath()});
        else
            child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).trimmed(),
                 QStringLiteral("2  Unable to check against malware database."));
    }

    void registryThatStaysDownWaitsForRetry()
    {
        const LibraryCopy module = library(QStringLiteral("libpatient.so"), "patient");
        m_server->setAnswer(module.md5, LastSeen, 0);
        QVERIFY(m_server->setRefusing(true));
        Clock::setTestWaitDivisor(100);
        Sleepers children;
        const quint32 pid = children.startLoader({module.path});
        QVERIFY(pid);
        watch(pid);

        ModuleManager manager;
        manager.setPIDModel(m_processes.get());
        QSignalSpy gaveUp(manager.orvexHandler(), &OrvexHandler::automaticReconnectFailed);
        QVERIFY(scanOnce(manager));
        QVERIFY(gaveUp.wait(60000));
        QCOMPARE(rowsOf(module.path, QStringLiteral("md5, orvex_state")),
                 QList<QVariantList>({{module.md5, int(Checking)}}));

        // Modules found meanwhile join the waiting handler.
        const LibraryCopy later = library(QStringLiteral("liblater.so"), "later");
        m_server->setAnswer(later.md5, LastSeen, 40);
        const quint32 laterPid = children.startLoader({later.path});
        QVERIFY(laterPid);
        watch(laterPid);
        QVERIFY(scanOnce(manager));
        QTRY_COMPARE_WITH_TIMEOUT(rowsOf(later.path, QStringLiteral("md5")),
                                  QList<QVariantList>({{later.md5}}), 30000);

        QVERIFY(m_server->setRefusing(false));
        manager.orvexHandler()->userRequestReconnect();
        QTRY_COMPARE_WITH_TIMEOUT(rowsOf(module.path, QStringLiteral("orvex_state")),
                                  QList<QVariantList>({{int(Checked)}}), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(rowsOf(later.path, QStringLiteral("detection_percentage")),
                                  QList<QVariantList>({{40}}), 60000);
    }

    void viewShowsTheSelectedProcess()
    {
        const LibraryCopy module = library(QStringLiteral("libshown.so"), "shown");
        Sleepers children;
        const quint32 first = children.startLoader({module.path});
        const quint32 second = children.startLoader({});
        QVERIFY(first && second);
        watch(first);
        watch(second);
        ModuleManager manager;
        manager.setPIDModel(m_processes.get());
        ModuleView view;
        manager.setView(&view);
        QCOMPARE(view.model(), manager.model());
        for (int section : {ModuleModel::DetectionPercentageSection, ModuleModel::OrvexStateSection,
                            ModuleModel::IsLoadedSection})
            QVERIFY(view.isColumnHidden(section));
        QVERIFY(!view.isColumnHidden(ModuleModel::PathSection));
        QCOMPARE(view.horizontalHeader()->sortIndicatorSection(),
                 int(ModuleModel::BaseNameSection));
        QCOMPARE(view.horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
        QVERIFY(view.horizontalHeader()->sectionsMovable());
        QCOMPARE(view.verticalHeader()->defaultSectionSize(),
                 QFontMetrics(QApplication::font()).height() + 8);

        QVERIFY(scanOnce(manager));
        manager.setFilterPID(first);
        const int firstRows = manager.model()->rowCount();
        QVERIFY(firstRows > 0);
        QStringList paths;
        for (int row = 0; row < firstRows; ++row) {
            QCOMPARE(manager.model()->data(manager.model()->index(row, 0)).toUInt(), first);
            paths.append(manager.model()->data(manager.model()->index(row, 2)).toString());
        }
        QVERIFY(paths.contains(module.path));
        manager.setFilterPID(second);
        QCOMPARE(manager.model()->rowCount(), firstRows - 1);
        manager.setFilterPID(0);
        QCOMPARE(manager.model()->rowCount(), 2 * firstRows - 1);
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(ChildVariable))
        return runAsChild(argc, argv);
    QApplication app(argc, argv);
    TestModuleManager test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_modulemanager.moc"
