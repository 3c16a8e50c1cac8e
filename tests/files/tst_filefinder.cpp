#include "deeptree.h"
#include "files/digestcalculator.h"
#include "files/filefinder.h"
#include "platform/filename.h"
#include "testenvironment.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char ChildVariable[] = "TST_FILEFINDER_CHILD";

// The copy of this program that walks under another user id prints what the
// finder reports, in order.
int runAsChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    FileFinder finder;
    QObject::connect(
        &finder, &FileFinder::fileFound, &finder,
        [](const QString &file) { std::printf("file %s\n", qPrintable(file)); },
        Qt::DirectConnection);
    QObject::connect(
        &finder, &FileFinder::folderUnreadable, &finder,
        [](const QString &folder, const QString &reason) {
            std::printf("unreadable %s: %s\n", qPrintable(folder), qPrintable(reason));
        },
        Qt::DirectConnection);
    QObject::connect(
        &finder, &FileFinder::filesFound, &finder,
        [](const QList<QString> &files) { std::printf("end %d\n", int(files.size())); },
        Qt::DirectConnection);
    finder.setItems(FileName::fromArguments(argc, argv).mid(1));
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

    // Folders the user may not read are reported, in order with the files,
    // whether met by the walk or given as items; a missing item is no news.
    void unreadableFoldersAreReported()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString p = dir.path();
        QVERIFY(QFile::setPermissions(p, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                             QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                             QFileDevice::ExeOther));
        QVERIFY(QDir(p).mkpath(QStringLiteral("tree/closed")));
        QVERIFY(QDir(p).mkpath(QStringLiteral("tree/open")));
        QVERIFY(makeFile(p + "/tree/closed/secret"));
        QVERIFY(makeFile(p + "/tree/open/visible"));
        QVERIFY(QFile::link(p + "/loop2", p + "/loop"));
        QVERIFY(QFile::link(p + "/loop", p + "/loop2"));
        for (const QString &folder : {p + "/tree", p + "/tree/open"})
            QVERIFY(QFile::setPermissions(
                folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                            QFileDevice::ReadOther | QFileDevice::ExeOther));
        QVERIFY(QFile::setPermissions(p + "/tree/closed", QFileDevice::ReadOwner |
                                                              QFileDevice::WriteOwner |
                                                              QFileDevice::ExeOwner));

        // Root may enter every folder, so the walk runs as the unprivileged user.
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        const QStringList items = {p + "/tree", p + "/tree/closed", p + "/tree/closed/secret",
                                   p + "/loop", p + "/missing"};
        if (geteuid() == 0)
            child.start(QStringLiteral("setpriv"),
                        QStringList{QStringLiteral("--reuid=65534"),
                                    QStringLiteral("--regid=65534"),
                                    QStringLiteral("--clear-groups"),
                                    QCoreApplication::applicationFilePath()} +
                            items);
        else
            child.start(QCoreApplication::applicationFilePath(), items);
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitCode(), 0);
        const QString denied = QStringLiteral(": Permission denied");
        const QStringList lines = QString::fromUtf8(child.readAllStandardOutput())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY2(lines.size() > 2, qPrintable(lines.join(QLatin1Char('\n'))));
        // The two subfolders of the tree come in the order the folder lists them.
        QCOMPARE(sorted(lines.mid(0, 2)),
                 sorted({QStringLiteral("file ") + p + "/tree/open/visible",
                         QStringLiteral("unreadable ") + p + "/tree/closed" + denied}));
        QCOMPARE(lines.mid(2),
                 QStringList({QStringLiteral("unreadable ") + p + "/tree/closed" + denied,
                              QStringLiteral("unreadable ") + p + "/tree/closed/secret" + denied,
                              QStringLiteral("unreadable ") + p +
                                  "/loop: Too many levels of symbolic links",
                              QStringLiteral("end 1")}));
    }

    // A file about 5,000 folders deep, its path past PATH_MAX, is found and
    // digested; so is one whose name is not UTF-8.
    void deepAndOddlyNamedFilesAreFoundAndDigested()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const int depth = 5000;
        DeepTree tree(dir.path(), depth);
        QVERIFY(tree.isValid());
        const QByteArray eicar = QByteArrayLiteral(
            "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*");
        QCOMPARE(QCryptographicHash::hash(eicar, QCryptographicHash::Md5).toHex(),
                 QByteArray("44d88612fea8a8f36de82e1278abb02f"));
        QVERIFY(tree.writeFile(depth, "deep.com", "abc"));
        QVERIFY(tree.writeFile(1, "caf\xe9.com", eicar));
        const auto removeOdd =
            qScopeGuard([&] { ::unlink(QFile::encodeName(tree.folderPath(1)) + "/caf\xe9.com"); });

        FileFinder finder;
        const FinderLog log = run(finder, {dir.path()});
        QCOMPARE(log.found.size(), 2);
        const QString deep = tree.folderPath(depth) + QStringLiteral("/deep.com");
        QVERIFY(deep.size() > PATH_MAX);
        QVERIFY(log.found.contains(deep));
        const QString odd = log.found.at(log.found.indexOf(deep) == 0 ? 1 : 0);
        QCOMPARE(FileName::readable(odd), tree.folderPath(1) + QStringLiteral("/caf\\xe9.com"));

        DigestCalculator calculator;
        QStringList records;
        connect(
            &calculator, &DigestCalculator::setDigestData, this,
            [&](const QString &record) { records << record; }, Qt::DirectConnection);
        calculator.setFiles(log.found);
        calculator.start();
        QVERIFY(calculator.wait(30000));
        QCOMPARE(sorted(records),
                 sorted({deep + QStringLiteral("|a9993e364706816aba3e25717850c26c9cd0d89d|"
                                               "900150983cd24fb0d6963f7d28e17f72"),
                         odd + QStringLiteral("|3395856ce81f2b7382dee72602f798b642f14140|"
                                              "44d88612fea8a8f36de82e1278abb02f")}));
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
