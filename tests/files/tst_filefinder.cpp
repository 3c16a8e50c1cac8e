#include "files/filefinder.h"
#include "testenvironment.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char ChildVariable[] = "TST_FILEFINDER_CHILD";

// The copy of this program that walks under another user id prints each file.
int runAsChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    FileFinder finder;
    QObject::connect(
        &finder, &FileFinder::filesFound, &finder,
        [](const QList<QString> &files) {
            for (const QString &file : files)
                std::printf("%s\n", qPrintable(file));
        },
        Qt::DirectConnection);
    finder.setItems(app.arguments().mid(1));
    finder.start();
    finder.wait();
    return 0;
}

bool makeFile(const QString &path, const QByteArray &content = QByteArray())
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

struct FinderLog
{
    QStringList found;
    QList<QList<QString>> lists;
    QStringList status;
    int stopped = 0;
};
} // namespace

class TestFileFinder : public QObject
{
    Q_OBJECT

private:
    FinderLog run(FileFinder &finder, const QList<QString> &items,
                  const std::function<void(FileFinder &, const FinderLog &)> &onFile = {})
    {
        FinderLog log;
        QList<QMetaObject::Connection> connections;
        connections << connect(
            &finder, &FileFinder::fileFound, this,
            [&](const QString &path) {
                log.found << path;
                if (onFile)
                    onFile(finder, log);
            },
            Qt::DirectConnection);
        connections << connect(
            &finder, &FileFinder::filesFound, this,
            [&](const QList<QString> &files) { log.lists << files; }, Qt::DirectConnection);
        connections << connect(
            &finder, &ProgressInterface::progressStatus, this,
            [&](const QString &text) { log.status << text; }, Qt::DirectConnection);
        connections << connect(
            &finder, &ProgressInterface::userStopped, this, [&] { ++log.stopped; },
            Qt::DirectConnection);
        if (!items.isEmpty())
            finder.setItems(items);
        finder.start();
        const bool ended = finder.wait(30000);
        for (const QMetaObject::Connection &connection : connections)
            disconnect(connection);
        if (!ended)
            qFatal("the file finder did not finish");
        return log;
    }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void findsFilesOfFoldersAndSingleFiles()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString p = dir.path();
        QVERIFY(QDir(p).mkpath(QStringLiteral("tree/sub")));
        QVERIFY(QDir(p).mkpath(QStringLiteral("other")));
        QVERIFY(makeFile(p + "/tree/a.exe"));
        QVERIFY(makeFile(p + "/tree/.hidden"));
        QVERIFY(makeFile(p + "/tree/sub/b|c \"d\"\n.dll"));
        QVERIFY(makeFile(p + "/other/x"));
        QVERIFY(makeFile(p + "/single.sys"));
        QCOMPARE(::mkfifo(QFile::encodeName(p + "/fifo").constData(), 0644), 0);
        QVERIFY(QFile::link(p + "/other", p + "/link to other"));

        FileFinder finder;
        const FinderLog log = run(finder, {p + "/tree", p + "/single.sys", p + "/missing",
                                           p + "/fifo", "/dev/null", p + "/link to other"});
        const QStringList expected = {p + "/tree/a.exe", p + "/tree/.hidden",
                                      p + "/tree/sub/b|c \"d\"\n.dll", p + "/single.sys",
                                      p + "/link to other/x"};
        QCOMPARE(sorted(log.found), sorted(expected));
        // The end list holds the same files in the order they were reported.
        QCOMPARE(log.lists, QList<QList<QString>>{log.found});
        // One status per folder walked, in the order of the items.
        QCOMPARE(log.status,
                 QStringList({QStringLiteral("Finding files in %1").arg(p + "/tree"),
                              QStringLiteral("Finding files in %1").arg(p + "/link to other")}));
        QCOMPARE(log.stopped, 0);
        // Items are given once: the run forgets them.
        QVERIFY(finder.items().isEmpty());
    }

    void sameFolderTwiceIsWalkedTwice()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(makeFile(dir.filePath(QStringLiteral("f"))));
        FileFinder finder;
        const FinderLog log = run(finder, {dir.path(), dir.path()});
        QCOMPARE(log.found, QStringList({dir.filePath("f"), dir.filePath("f")}));
    }

    void nothingToFind()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        FileFinder finder;
        FinderLog log = run(finder, {dir.path(), dir.filePath(QStringLiteral("missing"))});
        QVERIFY(log.found.isEmpty());
        QCOMPARE(log.lists, QList<QList<QString>>{{}});
        // Pseudo file systems are never entered.
        log = run(finder, {QStringLiteral("/proc"), QStringLiteral("/proc/self/status")});
        QCOMPARE(log.found, QStringList{QStringLiteral("/proc/self/status")});
    }

    void stopDuringTheWalk()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (int i = 0; i < 20; ++i)
            QVERIFY(makeFile(dir.filePath(QStringLiteral("f%1").arg(i))));
        QVERIFY(makeFile(dir.filePath(QStringLiteral("later"))));
        FileFinder finder;
        QTest::ignoreMessage(QtDebugMsg, "FileFinder::scanDirectory() got stop request.");
        const FinderLog log = run(finder, {dir.path(), dir.filePath(QStringLiteral("later"))},
                                  [](FileFinder &f, const FinderLog &l) {
                                      if (l.found.size() == 3)
                                          f.userRequestStop();
                                  });
        QCOMPARE(log.found.size(), 3);
        QCOMPARE(log.stopped, 1);
        QVERIFY(log.lists.isEmpty());

        // The same finder runs again in full.
        const FinderLog again = run(finder, {dir.path()});
        QCOMPARE(again.found.size(), 21);
        QCOMPARE(again.stopped, 0);
    }

    void unreadableFolderIsPassedOver()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString p = dir.path();
        QVERIFY(QFile::setPermissions(p, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                             QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                             QFileDevice::ExeOther));
        QVERIFY(QDir(p).mkpath(QStringLiteral("closed")));
        QVERIFY(QDir(p).mkpath(QStringLiteral("open")));
        QVERIFY(makeFile(p + "/closed/secret"));
        QVERIFY(makeFile(p + "/open/visible"));
        QVERIFY(QFile::setPermissions(p + "/closed", QFileDevice::ReadOwner |
                                                         QFileDevice::WriteOwner |
                                                         QFileDevice::ExeOwner));
        QVERIFY(QFile::setPermissions(
            p + "/open", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                             QFileDevice::ReadOther | QFileDevice::ExeOther));

        // Root may enter every folder, so the walk runs as the unprivileged user.
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        if (geteuid() == 0)
            child.start(QStringLiteral("setpriv"),
                        {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                         QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                         p});
        else
            child.start(QCoreApplication::applicationFilePath(), {p});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()),
                 p + QStringLiteral("/open/visible\n"));
    }

    void queuedSignalsReachTheGuiThread()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(makeFile(dir.filePath(QStringLiteral("f"))));
        FileFinder finder;
        QStringList found;
        QList<QList<QString>> lists;
        bool onGuiThread = true;
        connect(&finder, &FileFinder::fileFound, this, [&](const QString &path) {
            found << path;
            onGuiThread = onGuiThread && QThread::currentThread() == thread();
        });
        connect(&finder, &FileFinder::filesFound, this, [&](const QList<QString> &files) {
            lists << files;
            onGuiThread = onGuiThread && QThread::currentThread() == thread();
        });
        finder.setItems({dir.path()});
        finder.start();
        QTRY_COMPARE_WITH_TIMEOUT(lists.size(), 1, 30000);
        QVERIFY(finder.wait(5000));
        QCOMPARE(found, QStringList{dir.filePath(QStringLiteral("f"))});
        QCOMPARE(lists.first(), QList<QString>{dir.filePath(QStringLiteral("f"))});
        QVERIFY(onGuiThread);
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(ChildVariable))
        return runAsChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestFileFinder test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filefinder.moc"
