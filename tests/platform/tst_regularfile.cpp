#include "deeptree.h"
#include "platform/filename.h"
#include "platform/filestatus.h"
#include "platform/pseudodevices.h"
#include "platform/regularfile.h"
#include "testenvironment.h"

#include <QtTest>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Set in the environment of the copy of this program that looks at paths
// under another user id; it prints what it was told instead of testing.
const char ChildVariable[] = "TST_REGULARFILE_CHILD";

int runAsChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    for (const QString &path : FileName::fromArguments(argc, argv).mid(1)) {
        RegularFile file;
        file.open(path);
        std::printf("%s|%s\n", qPrintable(FileStatus::of(path).errorString()),
                    qPrintable(file.errorString()));
    }
    return 0;
}
} // namespace

class TestRegularFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QVERIFY(m_dir.isValid());
    }

    void readsWholeFileInPieces()
    {
        QByteArray content(300000, Qt::Uninitialized);
        for (int i = 0; i < content.size(); ++i)
            content[i] = char(i * 7);
        const QString path = m_dir.filePath(QStringLiteral("data"));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content);
        out.close();

        RegularFile file;
        QVERIFY(file.open(path));
        QVERIFY(file.isOpen());
        QByteArray read;
        char buffer[65536];
        for (;;) {
            const qint64 n = file.read(buffer, sizeof buffer);
            QVERIFY(n >= 0);
            if (n == 0)
                break;
            // Every read but the last is full.
            QVERIFY(n == qint64(sizeof buffer) || read.size() + n == content.size());
            read.append(buffer, n);
        }
        QCOMPARE(read, content);
        QVERIFY(file.atEnd());
        file.close();
        QVERIFY(!file.isOpen());
    }

    void readsNoFurtherThanTheSizeOfOpening()
    {
        const QString path = m_dir.filePath(QStringLiteral("growing"));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QCOMPARE(out.write("0123456789"), qint64(10));

        RegularFile file;
        QVERIFY(file.open(path));
        QCOMPARE(file.size(), qint64(10));
        char buffer[64];
        // A full read before the end says nothing about the end.
        QCOMPARE(file.read(buffer, 4), qint64(4));
        QVERIFY(!file.atEnd());
        QVERIFY(!file.changedSinceOpened());
        // What a writer appends after the file was opened is not read: a
        // writer that never stops would keep the reader for ever.
        QCOMPARE(out.write("abc"), qint64(3));
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(6));
        QCOMPARE(QByteArray(buffer, 6), QByteArray("456789"));
        QVERIFY(file.atEnd());
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(0));
        // ... but it is known that what was read is no longer the file.
        QVERIFY(file.changedSinceOpened());
        // Opening again starts over, at the new size.
        QVERIFY(file.open(path));
        QVERIFY(!file.atEnd());
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(13));
        QVERIFY(file.atEnd());
        QVERIFY(!file.changedSinceOpened());
    }

    // A change of the modification time alone, or a file cut short, counts too.
    void changesWhileOpen_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("rewritten in place") << QStringLiteral("rewrite");
        QTest::newRow("truncated") << QStringLiteral("truncate");
    }
    void changesWhileOpen()
    {
        QFETCH(QString, change);
        const QString path = m_dir.filePath(QStringLiteral("changing"));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QCOMPARE(out.write("0123456789"), qint64(10));
        // A modification time clearly in the past, so that any write moves it.
        const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), past, 0), 0);

        RegularFile file;
        QVERIFY(file.open(path));
        char buffer[64];
        QCOMPARE(file.read(buffer, 2), qint64(2));
        if (change == QLatin1String("rewrite")) {
            QVERIFY(out.seek(5));
            QCOMPARE(out.write("X"), qint64(1));
        } else {
            QVERIFY(out.resize(4));
        }
        file.read(buffer, sizeof buffer);
        QVERIFY(file.atEnd());
        QVERIFY(file.changedSinceOpened());
    }

    void kernelFilesOfSizeZeroAreReadToTheirEnd()
    {
        // /proc files claim 0 bytes and hand out a page per read; a short
        // read must not be taken for their end.
        QFile maps(QStringLiteral("/proc/self/maps"));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QByteArray expected = maps.readAll();
        QVERIFY2(expected.size() > 8192, "the test needs a /proc file of several pages");
        RegularFile file;
        QVERIFY(file.open(QStringLiteral("/proc/self/maps")));
        QCOMPARE(file.size(), qint64(0));
        QByteArray buffer(expected.size() * 2, Qt::Uninitialized);
        const qint64 n = file.read(buffer.data(), buffer.size());
        // The mappings may change a little between the two reads.
        QVERIFY2(n > 8192, qPrintable(QString::number(n)));
        QVERIFY(file.atEnd());
    }

    void emptyFileReadsNothing()
    {
        const QString path = m_dir.filePath(QStringLiteral("empty"));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.close();
        RegularFile file;
        QVERIFY(file.open(path));
        char buffer[16];
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(0));
    }

    // None of these may be opened; a FIFO without a writer would block open()
    // and a device would never end.
    void refusesWhatIsNotARegularFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("error");
        QTest::newRow("fifo") << QStringLiteral("FIFO") << ENODEV;
        QTest::newRow("zero device") << QStringLiteral("/dev/zero") << ENODEV;
        QTest::newRow("folder") << QStringLiteral("/") << ENODEV;
        QTest::newRow("missing") << QStringLiteral("/nonexistent/file") << ENOENT;
        QTest::newRow("empty path") << QString() << ENOENT;
    }
    void refusesWhatIsNotARegularFile()
    {
        QFETCH(QString, path);
        QFETCH(int, error);
        if (path == QLatin1String("FIFO")) {
            path = m_dir.filePath(QStringLiteral("fifo"));
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        }
        RegularFile file;
        QVERIFY(!file.open(path));
        QVERIFY(!file.isOpen());
        QCOMPARE(file.error(), error);
        char buffer[4];
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(-1));
    }

    void readErrorIsReported()
    {
        // A process's own memory file is a regular file whose first page is
        // never mapped: reading it fails.
        RegularFile file;
        QVERIFY(file.open(QStringLiteral("/proc/self/mem")));
        char buffer[4096];
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(-1));
        QCOMPARE(file.error(), EIO);
    }

    // The reason a path cannot be examined or opened, in the system's words,
    // as a user without root's powers meets it.
    void reasonsInTheSystemsWords_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QString>("statusReason");
        QTest::addColumn<QString>("openReason");
        QTest::newRow("missing") << QStringLiteral("missing")
                                 << QStringLiteral("No such file or directory")
                                 << QStringLiteral("No such file or directory");
        QTest::newRow("loop of links")
            << QStringLiteral("loop") << QStringLiteral("Too many levels of symbolic links")
            << QStringLiteral("Too many levels of symbolic links");
        QTest::newRow("file without read permission")
            << QStringLiteral("locked") << QString() << QStringLiteral("Permission denied");
        QTest::newRow("folder that may not be searched")
            << QStringLiteral("closed/file") << QStringLiteral("Permission denied")
            << QStringLiteral("Permission denied");
        QTest::newRow("FIFO") << QStringLiteral("fifo") << QString()
                              << QStringLiteral("Not a regular file");
        QTest::newRow("folder") << QStringLiteral("folder") << QString()
                                << QStringLiteral("Not a regular file");
    }
    void reasonsInTheSystemsWords()
    {
        QFETCH(QString, fixture);
        QFETCH(QString, statusReason);
        QFETCH(QString, openReason);
        QTemporaryDir shared;
        QVERIFY(shared.isValid());
        const QByteArray root = QFile::encodeName(shared.path());
        QCOMPARE(::chmod(root.constData(), 0755), 0);
        QCOMPARE(::symlink("loop2", root + "/loop"), 0);
        QCOMPARE(::symlink("loop", root + "/loop2"), 0);
        for (const char *name : {"/locked", "/closed/file"}) {
            if (QByteArray(name) == "/closed/file")
                QCOMPARE(::mkdir(root + "/closed", 0755), 0);
            const int fd = ::open(root + name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
        QCOMPARE(::chmod(root + "/locked", 0200), 0);
        QCOMPARE(::chmod(root + "/closed", 0600), 0);
        QCOMPARE(::mkfifo(root + "/fifo", 0644), 0);
        QCOMPARE(::mkdir(root + "/folder", 0755), 0);
        const auto reopen = qScopeGuard([&] { ::chmod(root + "/closed", 0755); });

        // Root may open everything, so the look is taken by the unprivileged user.
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        const QString path = shared.filePath(fixture);
        if (geteuid() == 0)
            child.start(QStringLiteral("setpriv"),
                        {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                         QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                         path});
        else
            child.start(QCoreApplication::applicationFilePath(), {path});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()),
                 statusReason + QLatin1Char('|') + openReason + QLatin1Char('\n'));
    }

    // Files of pseudo file systems are refused by their file system, before
    // they are opened; anything else is opened as usual.
    void pseudoFilesAreNotOpened_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("proc") << QStringLiteral("/proc/self/status")
                              << QStringLiteral("On a pseudo file system (proc)");
        QTest::newRow("reading fails")
            << QStringLiteral("/proc/self/mem") << QStringLiteral("On a pseudo file system (proc)");
        QTest::newRow("sysfs") << QStringLiteral("/sys/kernel/mm/transparent_hugepage/enabled")
                               << QStringLiteral("On a pseudo file system (sysfs)");
        QTest::newRow("from the mount table")
            << QStringLiteral("MOUNT TABLE")
            << QStringLiteral("On a pseudo file system (devtmpfs)");
        QTest::newRow("ordinary file") << QStringLiteral("ORDINARY") << QString();
    }
    void pseudoFilesAreNotOpened()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        QHash<quint64, QByteArray> mountTable;
        if (path == QLatin1String("MOUNT TABLE") || path == QLatin1String("ORDINARY")) {
            // devtmpfs has tmpfs's statfs type: only the mount table knows it.
            const bool pretend = path == QLatin1String("MOUNT TABLE");
            path = m_dir.filePath(QStringLiteral("devtmpfs-like"));
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write("x");
            out.close();
            struct stat st;
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
            if (pretend)
                mountTable.insert(quint64(st.st_dev), "devtmpfs");
        } else if (!QFileInfo::exists(path)) {
            QSKIP("this machine has no such kernel file");
        }
        PseudoDevices devices(mountTable);
        RegularFile file;
        QCOMPARE(file.openScanned(path, devices), reason.isEmpty());
        QCOMPARE(file.isOpen(), reason.isEmpty());
        QCOMPARE(file.errorString(), reason);
        if (!reason.isEmpty())
            QCOMPARE(file.failure(), RegularFile::OnPseudoFileSystem);
        // The plain open still reads what the kernel shows.
        QVERIFY(file.open(path));
    }

    // A name that is not UTF-8, a path longer than PATH_MAX: both opened.
    void namesOfAnyBytesAndPathsOfAnyLength()
    {
        const QByteArray raw = QFile::encodeName(m_dir.path()) + "/caf\xe9.exe";
        const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "abc", 3), ssize_t(3));
        ::close(fd);
        const auto remove = qScopeGuard([&] { ::unlink(raw.constData()); });
        RegularFile file;
        QVERIFY(file.open(FileName::fromBytes(raw)));
        char buffer[8];
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(3));
        QCOMPARE(FileStatus::of(FileName::fromBytes(raw)).size(), qint64(3));

        DeepTree tree(m_dir.path(), 2500);
        QVERIFY(tree.isValid());
        QVERIFY(tree.writeFile(2500, "deep", "deep content"));
        const QString deep = tree.folderPath(2500) + QStringLiteral("/deep");
        QVERIFY(deep.size() > PATH_MAX);
        QVERIFY(file.open(deep));
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(8));
        QCOMPARE(FileStatus::of(deep).size(), qint64(12));
        QVERIFY(FileStatus::of(tree.folderPath(2400)).isDirectory());
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(ChildVariable))
        return runAsChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestRegularFile test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_regularfile.moc"
