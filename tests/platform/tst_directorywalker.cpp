#include "deeptree.h"
#include "platform/directorywalker.h"
#include "platform/filename.h"
#include "testenvironment.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
bool makeFile(const QByteArray &path, const QByteArray &content = QByteArray())
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    return ok;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System)
                   .size());
}
} // namespace

class TestDirectoryWalker : public QObject
{
    Q_OBJECT

private:
    QStringList walk(const QString &root, DirectoryWalker::Result *result = nullptr,
                     DirectoryWalker walker = DirectoryWalker())
    {
        QStringList files;
        const DirectoryWalker::Result r = walker.walk(
            root, [&](const QString &path) { files.append(path); }, [] { return false; });
        if (result)
            *result = r;
        return files;
    }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void reportsEveryRegularFileOnce()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray root = QFile::encodeName(dir.path());
        QVERIFY(::mkdir(root + "/sub", 0755) == 0);
        QVERIFY(::mkdir(root + "/sub/deeper", 0755) == 0);
        QVERIFY(::mkdir(root + "/.hidden dir", 0755) == 0);
        QVERIFY(::mkdir(root + "/empty", 0755) == 0);
        QVERIFY(makeFile(root + "/top.exe", "x"));
        QVERIFY(makeFile(root + "/.hidden"));
        QVERIFY(makeFile(root + "/File.exe"));
        QVERIFY(makeFile(root + "/file.exe"));
        QVERIFY(makeFile(root + "/sub/a|b.dll"));
        QVERIFY(makeFile(root + "/sub/quote\"s'.sys"));
        QVERIFY(makeFile(root + "/sub/line\nbreak.exe"));
        QVERIFY(makeFile(root + "/sub/deeper/leaf"));
        QVERIFY(makeFile(root + "/.hidden dir/inside"));

        DirectoryWalker::Result result = DirectoryWalker::NotEntered;
        const QStringList files = walk(dir.path(), &result);
        QCOMPARE(result, DirectoryWalker::Completed);
        const QString p = dir.path();
        QCOMPARE(sorted(files),
                 sorted({p + "/top.exe", p + "/.hidden", p + "/File.exe", p + "/file.exe",
                         p + "/sub/a|b.dll", p + "/sub/quote\"s'.sys", p + "/sub/line\nbreak.exe",
                         p + "/sub/deeper/leaf", p + "/.hidden dir/inside"}));
        // A trailing slash on the root does not double the separator.
        QCOMPARE(sorted(walk(p + "/")), sorted(files));
    }

    void passesOverWhatIsNotARegularFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray root = QFile::encodeName(dir.path());
        QVERIFY(makeFile(root + "/real"));
        QVERIFY(::mkfifo(root + "/fifo", 0644) == 0);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray socketPath = root + "/socket";
        QVERIFY(size_t(socketPath.size()) < sizeof address.sun_path);
        memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        // Links are never followed: not to a file, a folder, a device or in a loop.
        QVERIFY(::mkdir(root + "/folder", 0755) == 0);
        QVERIFY(makeFile(root + "/folder/inside"));
        QVERIFY(::symlink(root + "/folder", root + "/link to folder") == 0);
        QVERIFY(::symlink(root + "/real", root + "/link to file") == 0);
        QVERIFY(::symlink("/dev/zero", root + "/link to device") == 0);
        QVERIFY(::symlink("..", root + "/folder/loop") == 0);
        QVERIFY(::symlink("self", root + "/self") == 0);

        DirectoryWalker::Result result = DirectoryWalker::NotEntered;
        const QStringList files = walk(dir.path(), &result);
        ::close(fd);
        QCOMPARE(result, DirectoryWalker::Completed);
        QCOMPARE(sorted(files), sorted({dir.path() + "/real", dir.path() + "/folder/inside"}));
    }

    void rootThatIsALinkToAFolderIsWalked()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray root = QFile::encodeName(dir.path());
        QVERIFY(::mkdir(root + "/folder", 0755) == 0);
        QVERIFY(makeFile(root + "/folder/inside"));
        QVERIFY(::symlink(root + "/folder", root + "/link") == 0);
        QCOMPARE(walk(dir.path() + "/link"), QStringList{dir.path() + "/link/inside"});
    }

    void nameThatIsNotUtf8IsReportedLosslessly()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray root = QFile::encodeName(dir.path());
        QVERIFY(::mkdir(root + "/caf\xe9", 0755) == 0);
        const QByteArray badName = root + "/caf\xe9/bad\xff\xfe.exe";
        QVERIFY(makeFile(badName));
        // QTemporaryDir cannot remove a name that Qt cannot spell.
        const auto removeBad = qScopeGuard([&] {
            ::unlink(badName.constData());
            ::rmdir(root + "/caf\xe9");
        });
        QVERIFY(makeFile(root + "/good"));
        const QStringList files = walk(dir.path());
        QCOMPARE(files.size(), 2);
        const QString bad = files.filter(QStringLiteral(".exe")).value(0);
        // The text names the very bytes on disk, and reads as they are.
        QCOMPARE(FileName::toBytes(bad), badName);
        QCOMPARE(FileName::readable(bad),
                 dir.path() + QStringLiteral("/caf\\xe9/bad\\xff\\xfe.exe"));
        // A root given in the same form is walked too.
        QCOMPARE(walk(FileName::fromBytes(root + "/caf\xe9")), QStringList{bad});
    }

    void rootsThatAreNotEntered_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QStringLiteral("/nonexistent/folder")
                                 << QStringLiteral("No such file or directory");
        QTest::newRow("a file") << QStringLiteral("/proc/self/status")
                                << QStringLiteral("Not a directory");
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("proc") << QStringLiteral("/proc")
                              << QStringLiteral("On a pseudo file system (proc)");
        QTest::newRow("inside proc")
            << QStringLiteral("/proc/self") << QStringLiteral("On a pseudo file system (proc)");
        QTest::newRow("sysfs") << QStringLiteral("/sys")
                               << QStringLiteral("On a pseudo file system (sysfs)");
    }
    void rootsThatAreNotEntered()
    {
        QFETCH(QString, root);
        QFETCH(QString, reason);
        if (root.startsWith(QLatin1String("/sys")) && !QFileInfo::exists(root))
            QSKIP("no sysfs here");
        QStringList files;
        QList<QPair<QString, QString>> unreadable;
        DirectoryWalker walker;
        const DirectoryWalker::Result result = walker.walk(
            root, [&](const QString &path) { files.append(path); }, [] { return false; },
            [&](const QString &path, const QString &why) {
                unreadable.append({path, why});
            });
        QVERIFY(files.isEmpty());
        QCOMPARE(result, DirectoryWalker::NotEntered);
        // The walk says why; a folder it could not see into is not an empty one.
        if (reason.isEmpty())
            QVERIFY(unreadable.isEmpty());
        else
            QCOMPARE(unreadable, (QList<QPair<QString, QString>>{{root, reason}}));
    }

    // A tree 5,000 folders deep: paths far past PATH_MAX, more folders than a
    // process may hold open. Side branches deeper than the folders held open
    // make the walk climb back through "..".
    void depthDoesNotMatter()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const int depth = 5000;
        DeepTree tree(dir.path(), depth);
        QVERIFY(tree.isValid());
        QVERIFY(tree.writeFile(depth, "bottom", "x"));
        QStringList expected{tree.folderPath(depth) + QStringLiteral("/bottom")};
        for (int level : {1, 100, 2000}) {
            for (const char *branch : {"a", "b"}) {
                const QString file = tree.makeBranch(
                    level, branch, 3 * DirectoryWalker::DefaultOpenFolders, "leaf", "y");
                QVERIFY(!file.isEmpty());
                expected << file;
            }
            QVERIFY(tree.writeFile(level, "beside", "z"));
            expected << tree.folderPath(level) + QStringLiteral("/beside");
        }
        QVERIFY(expected.first().size() > 2 * PATH_MAX);

        const int before = openDescriptors();
        int most = 0;
        QStringList files;
        QStringList unreadable;
        DirectoryWalker walker;
        const DirectoryWalker::Result result = walker.walk(
            dir.path(),
            [&](const QString &path) {
                files.append(path);
                most = qMax(most, openDescriptors());
            },
            [] { return false; },
            [&](const QString &path, const QString &) { unreadable << path; });
        QCOMPARE(result, DirectoryWalker::Completed);
        QCOMPARE(sorted(files), sorted(expected));
        QVERIFY(unreadable.isEmpty());
        // The root and the folders nearest the walk, and one to list /proc/self/fd.
        QVERIFY2(most - before <= DirectoryWalker::DefaultOpenFolders + 1,
                 qPrintable(QStringLiteral("%1 descriptors open at once").arg(most - before)));
    }

    // A folder moved elsewhere while the walk was below it: ".." now leads to
    // its new parent, which must not be taken for the old one.
    void folderMovedDuringTheWalk()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString a = dir.filePath(QStringLiteral("A"));
        QStringList expected;
        for (const char *branch : {"B1", "B2", "B3"}) {
            const QString chain =
                a + QLatin1Char('/') + QLatin1String(branch) + QStringLiteral("/c/d");
            QVERIFY(QDir().mkpath(chain));
            QVERIFY(makeFile(QFile::encodeName(chain) + "/leaf"));
            expected << chain + QStringLiteral("/leaf");
        }
        QString moved;
        QStringList files;
        QStringList unreadable;
        DirectoryWalker walker;
        walker.setMaxOpenFolders(2);
        const DirectoryWalker::Result result = walker.walk(
            dir.path(),
            [&](const QString &path) {
                files.append(path);
                if (moved.isEmpty()) {
                    // Move the first branch out of A while its leaf is reported.
                    moved = path.section(QLatin1Char('/'), -4, -4);
                    QVERIFY(QDir().rename(a + QLatin1Char('/') + moved, dir.filePath(moved)));
                }
            },
            [] { return false; },
            [&](const QString &path, const QString &) { unreadable << path; });
        QCOMPARE(result, DirectoryWalker::Completed);
        QVERIFY(unreadable.isEmpty());
        // Every leaf once; the other branches are still found under A.
        QCOMPARE(sorted(files), sorted(expected));
        // The moved branch was not walked a second time from its new place.
        QCOMPARE(files.size(), 3);
    }

    void devtmpfsIsKnownFromTheMountTable()
    {
        QFile mounts(QStringLiteral("/proc/self/mountinfo"));
        QVERIFY(mounts.open(QIODevice::ReadOnly));
        bool devIsDevtmpfs = false;
        for (const QByteArray &line : mounts.readAll().split('\n'))
            if (line.contains(" /dev ") && line.contains(" - devtmpfs "))
                devIsDevtmpfs = true;
        if (!devIsDevtmpfs)
            QSKIP("/dev is not a devtmpfs mount here");
        // devtmpfs has tmpfs's statfs type; only the mount table tells them apart.
        DirectoryWalker::Result result = DirectoryWalker::Completed;
        QVERIFY(walk(QStringLiteral("/dev"), &result).isEmpty());
        QCOMPARE(result, DirectoryWalker::NotEntered);
    }

    void foldersOnAPseudoDeviceAreNotEntered()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(makeFile(QFile::encodeName(dir.path()) + "/file"));
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(dir.path()).constData(), &st), 0);
        DirectoryWalker::Result result = DirectoryWalker::Completed;
        QVERIFY(walk(dir.path(), &result, DirectoryWalker({quint64(st.st_dev)})).isEmpty());
        QCOMPARE(result, DirectoryWalker::NotEntered);
        QCOMPARE(walk(dir.path(), &result, DirectoryWalker(QSet<quint64>{})).size(), 1);
        QCOMPARE(result, DirectoryWalker::Completed);
    }

    void stopIsSeenBeforeEachEntry()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray root = QFile::encodeName(dir.path());
        for (int i = 0; i < 50; ++i)
            QVERIFY(makeFile(root + "/f" + QByteArray::number(i)));
        QStringList files;
        int checks = 0;
        DirectoryWalker walker;
        const DirectoryWalker::Result result = walker.walk(
            dir.path(), [&](const QString &path) { files.append(path); },
            [&] { return ++checks > 5; });
        QCOMPARE(result, DirectoryWalker::Stopped);
        QCOMPARE(files.size(), 5);
        QCOMPARE(checks, 6);
    }

    void rootFolderPathsHaveOneSlash()
    {
        // Stop at the first file found under "/" to see how its path is spelled.
        QString first;
        DirectoryWalker walker;
        walker.walk(
            QStringLiteral("/"),
            [&](const QString &path) {
                if (first.isEmpty())
                    first = path;
            },
            [&] { return !first.isEmpty(); });
        QVERIFY(!first.isEmpty());
        QVERIFY2(first.startsWith(QLatin1Char('/')) && !first.startsWith(QLatin1String("//")),
                 qPrintable(first));
    }
};

QTEST_GUILESS_MAIN(TestDirectoryWalker)
#include "tst_directorywalker.moc"
