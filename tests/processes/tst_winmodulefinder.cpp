#include "childprograms.h"
#include "processes/modulerecord.h"
#include "processes/winmodulefinder.h"
#include "testenvironment.h"

#include <QtTest>

#include <unistd.h>

namespace {
const char ChildVariable[] = "WINORVEX_TST_WINMODULEFINDER_CHILD";

QStringList pathsOf(const QList<QString> &records, quint32 pid)
{
    QStringList paths;
    for (const QString &record : records) {
        quint32 owner = 0;
        QString path, name;
        if (ModuleRecord::unpack(record, &owner, &path, &name) && owner == pid)
            paths.append(path);
    }
    return paths;
}

// Without root: takes a snapshot of the process named on the command line and
// reports the processes it could not read and how often that was logged.
int runAsChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    LogCapture log;
    WinModuleFinder finder;
    const quint32 pid = QCoreApplication::arguments().value(1).toUInt();
    finder.setPIDs({pid});
    ModuleSnapshot details;
    const QList<QString> first = finder.getModules(&details);
    finder.getModules();
    std::printf("records %d\n", int(first.size()));
    for (const quint32 unread : std::as_const(details.unreadPids))
        std::printf("unread %u\n", unread);
    std::printf("logged %d\n", log.count(QStringLiteral("WinModuleFinder::getModules()")));
    return 0;
}
} // namespace

class TestWinModuleFinder : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() { m_dir.reset(); }

    void keptPids_data()
    {
        QTest::addColumn<QList<quint32>>("given");
        QTest::addColumn<QList<quint32>>("kept");
        // Pid 4 is an ordinary process on Linux (in a container, often a program).
        QTest::newRow("0 is no process") << QList<quint32>{0, 4, 17, 0} << QList<quint32>{4, 17};
        QTest::newRow("empty") << QList<quint32>{} << QList<quint32>{};
    }
    void keptPids()
    {
        QFETCH(QList<quint32>, given);
        QFETCH(QList<quint32>, kept);
        WinModuleFinder finder;
        finder.setPIDs(given);
        QCOMPARE(finder.pids(), kept);
    }

    void childsLibraryIsListed()
    {
        const LibraryCopy library =
            LibraryCopy::make(m_dir->path(), QStringLiteral("lib|Loaded me.so"), "listed");
        QVERIFY(!library.path.isEmpty());
        Sleepers children;
        const quint32 pid = children.startLoader({library.path});
        QVERIFY(pid);

        WinModuleFinder finder;
        finder.setPIDs({pid});
        QSignalSpy files(&finder, &WinModuleFinder::currentModuleFiles);
        QSignalSpy modules(&finder, &WinModuleFinder::currentModules);
        finder.start();
        QVERIFY(modules.wait(30000));
        QCOMPARE(files.size(), 1);
        const QList<QString> records = modules.first().first().value<QList<QString>>();
        const QStringList paths = pathsOf(records, pid);
        QVERIFY2(paths.contains(library.path), qPrintable(paths.join(u'\n')));
        QVERIFY(!paths.contains(Sleepers::loaderPath()));
        // Each path once, and every record has its mapped file.
        QCOMPARE(QSet<QString>(paths.cbegin(), paths.cend()).size(), paths.size());
        const ModuleSnapshot details = files.first().first().value<ModuleSnapshot>();
        QCOMPARE(details.files.size(), records.size());
        QVERIFY(details.unreadPids.isEmpty());
        const QString record =
            ModuleRecord::pack(pid, library.path, QStringLiteral("lib|Loaded me.so"));
        QVERIFY(records.contains(record));
        QCOMPARE(details.files.value(record).path, QFile::encodeName(library.path));
    }

    void endedProcessLeavesAnEmptySnapshot()
    {
        Sleepers children;
        const quint32 pid = children.startLoader({});
        QVERIFY(pid);
        children.stop(pid);
        WinModuleFinder finder;
        finder.setPIDs({pid});
        QSignalSpy modules(&finder, &WinModuleFinder::currentModules);
        finder.start();
        // Every process has ended: the snapshot is empty and is handed on, so
        // that the modules of the last process are retired too.
        QVERIFY(modules.wait(30000));
        QVERIFY(modules.first().first().value<QList<QString>>().isEmpty());
    }

    void anotherUsersProcessIsUnreadNotEnded()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to start a process that an unprivileged copy may not read");
        Sleepers children;
        const quint32 pid = children.startLoader({});
        QVERIFY(pid);
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        child.start(QStringLiteral("setpriv"),
                    {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                     QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                     QString::number(pid)});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 0);
        // Unread, not ended (its modules are unknown, not gone), and one log
        // line for two snapshots.
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts),
                 QStringList({QStringLiteral("records 0"), QStringLiteral("unread %1").arg(pid),
                              QStringLiteral("logged 1")}));
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(ChildVariable))
        return runAsChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestWinModuleFinder test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_winmodulefinder.moc"
