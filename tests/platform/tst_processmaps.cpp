#include "platform/processmaps.h"

#include <QtTest>

#include <cerrno>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// /proc/<pid>/maps text captured from running processes, trimmed.
namespace {
const QByteArray Sleep =
    "55d19a97b000-55d19a97d000 r--p 00000000 fe:00 247134                     /usr/bin/sleep\n"
    "55d19a97d000-55d19a982000 r-xp 00002000 fe:00 247134                     /usr/bin/sleep\n"
    "55d19a982000-55d19a985000 r--p 00007000 fe:00 247134                     /usr/bin/sleep\n"
    "55d19b9c6000-55d19b9e7000 rw-p 00000000 00:00 0                          [heap]\n"
    "7fd972d65000-7fd972dbc000 r--p 00000000 fe:00 320475                     "
    "/usr/lib/locale/C.utf8/LC_CTYPE\n"
    "7fd972dc6000-7fd972dec000 r--p 00000000 fe:00 332835                     "
    "/usr/lib/x86_64-linux-gnu/libc.so.6\n"
    "7fd972dec000-7fd972f42000 r-xp 00026000 fe:00 332835                     "
    "/usr/lib/x86_64-linux-gnu/libc.so.6\n"
    "7fd972f42000-7fd972f95000 r--p 0017c000 fe:00 332835                     "
    "/usr/lib/x86_64-linux-gnu/libc.so.6\n"
    "7fd972fab000-7fd972fb2000 r--s 00000000 fe:00 332280                     "
    "/usr/lib/x86_64-linux-gnu/gconv/gconv-modules.cache\n"
    "7fd972fb5000-7fd972fb9000 r--p 00000000 00:00 0                          [vvar]\n"
    "7fd972fb9000-7fd972fbb000 r-xp 00000000 00:00 0                          [vdso]\n"
    "7fd972fbb000-7fd972fbc000 r--p 00000000 fe:00 332817                     "
    "/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2\n"
    "7fd972fbc000-7fd972fe1000 r-xp 00001000 fe:00 332817                     "
    "/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2\n"
    "7ffd5d4c1000-7ffd5d4e2000 rw-p 00000000 00:00 0                          [stack]\n"
    "ffffffffff600000-ffffffffff601000 --xp 00000000 00:00 0                  [vsyscall]\n";

// A browser-like process: anonymous shared memory named like files, a library
// replaced on disk, names with blanks and a line break, a file mapped twice
// with execute permission.
const QByteArray Browser =
    "7f0000000000-7f0000001000 r-xs 00000000 00:01 1054                       /memfd:jit-cache "
    "(deleted)\n"
    "7f0000001000-7f0000002000 r-xs 00000000 00:01 32784                      /SYSV00000000 "
    "(deleted)\n"
    "7f0000002000-7f0000003000 r-xp 00000000 00:05 5                          /dev/zero "
    "(deleted)\n"
    "7f0000003000-7f0000004000 r-xp 00001000 08:02 1311                       "
    "/opt/app/libold.so (deleted)\n"
    "7f0000004000-7f0000005000 r-xp 00001000 103:05 7765                      "
    "/home/u/My Plugins/lib two.so\n"
    "7f0000005000-7f0000006000 r-xp 00001000 103:05 7766                      "
    "/home/u/line\\012break.so\n"
    "7f0000006000-7f0000007000 r-xp 00000000 103:05 7765                      "
    "/home/u/My Plugins/lib two.so\n"
    "7f0000007000-7f0000008000 r-xp 00000000 00:00 0 \n"
    "7f0000008000-7f0000009000 rwxp 00000000 00:00 0                          [anon:jit]\n"
    "garbage line\n"
    "7f0000009000-7f000000a000 r-xp 00000000 fd:01 99";
} // namespace

class TestProcessMaps : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void executableFiles_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QList<QByteArray>>("paths");

        QTest::newRow("program and its libraries")
            << Sleep
            << QList<QByteArray>{"/usr/bin/sleep", "/usr/lib/x86_64-linux-gnu/libc.so.6",
                                 "/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2"};
        QTest::newRow("only files, each path once")
            << Browser
            << QList<QByteArray>{"/opt/app/libold.so (deleted)", "/home/u/My Plugins/lib two.so",
                                 "/home/u/line\nbreak.so"};
        QTest::newRow("empty (an ending process)") << QByteArray() << QList<QByteArray>{};
        QTest::newRow("no line end at the end")
            << QByteArray("7f0000009000-7f000000a000 r-xp 00000000 fd:01 99 /lib/a.so")
            << QList<QByteArray>{"/lib/a.so"};
    }
    void executableFiles()
    {
        QFETCH(QByteArray, text);
        QFETCH(QList<QByteArray>, paths);
        QList<QByteArray> found;
        for (const MappedFile &file : ProcessMaps::executableFiles(text))
            found.append(file.path);
        QCOMPARE(found, paths);
    }

    void mappingFields()
    {
        const QList<MappedFile> files = ProcessMaps::executableFiles(Browser);
        QCOMPARE(files.size(), 3);
        const MappedFile &old = files.at(0);
        QCOMPARE(old.start, quint64(0x7f0000003000));
        QCOMPARE(old.end, quint64(0x7f0000004000));
        QCOMPARE(old.device, QByteArray("08:02"));
        QCOMPARE(old.inode, quint64(1311));
        QCOMPARE(old.fileId(), QByteArray("08:02:1311"));
        QCOMPARE(old.deviceNumber(), quint64(makedev(8, 2)));
        QVERIFY(old.isMarkedDeleted());
        // The first executable mapping of a file mapped twice.
        const MappedFile &two = files.at(1);
        QCOMPARE(two.start, quint64(0x7f0000004000));
        QCOMPARE(two.deviceNumber(), quint64(makedev(0x103, 5)));
        QVERIFY(!two.isMarkedDeleted());
    }

    void filePaths_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("file");
        QTest::newRow("library") << QByteArray("/usr/lib/libc.so.6") << true;
        QTest::newRow("deleted library") << QByteArray("/usr/lib/libc.so.6 (deleted)") << true;
        QTest::newRow("memfd") << QByteArray("/memfd:wayland-cursor (deleted)") << false;
        QTest::newRow("System V memory") << QByteArray("/SYSV0000162e (deleted)") << false;
        QTest::newRow("shared /dev/zero") << QByteArray("/dev/zero (deleted)") << false;
        QTest::newRow("a file under /dev/zero's name") << QByteArray("/dev/zeros.so") << true;
        QTest::newRow("kernel area") << QByteArray("[vdso]") << false;
        QTest::newRow("relative") << QByteArray("lib.so") << false;
    }
    void filePaths()
    {
        QFETCH(QByteArray, path);
        QFETCH(bool, file);
        QCOMPARE(ProcessMaps::isFilePath(path), file);
    }

    void readsOwnMaps()
    {
        QByteArray text;
        QCOMPARE(ProcessMaps::read(quint32(::getpid()), &text), 0);
        // Larger than one read of the kernel: read to the end.
        QVERIFY(text.size() > 4096);
        QVERIFY(text.endsWith('\n'));
        const QList<MappedFile> files = ProcessMaps::executableFiles(text);
        Dl_info info;
        QVERIFY(dladdr(reinterpret_cast<void *>(&dladdr), &info) != 0);
        struct stat st;
        QCOMPARE(::stat(info.dli_fname, &st), 0);
        bool found = false;
        for (const MappedFile &file : files) {
            if (file.inode == quint64(st.st_ino) && file.deviceNumber() == quint64(st.st_dev))
                found = true;
        }
        QVERIFY2(found, info.dli_fname);
    }

    void endedProcess()
    {
        QByteArray text = "left over";
        // Past the largest pid the kernel hands out.
        QCOMPARE(ProcessMaps::read(4194305, &text), ENOENT);
        QVERIFY(text.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestProcessMaps)
#include "tst_processmaps.moc"
