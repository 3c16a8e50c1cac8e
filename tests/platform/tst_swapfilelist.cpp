#include "platform/swapfilelist.h"
#include "testenvironment.h"

#include <QtTest>

namespace {
// As the kernel writes it: tab-padded columns, names with octal escapes.
const QByteArray Header = "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n";
} // namespace

class TestSwapFileList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QList<QString>>("files");
        QTest::newRow("no swap") << Header << QList<QString>();
        QTest::newRow("empty text") << QByteArray() << QList<QString>();
        QTest::newRow("one file") << Header + "/swapfile                               file\t\t"
                                              "2097148\t\t0\t\t-2\n"
                                  << QList<QString>{QStringLiteral("/swapfile")};
        QTest::newRow("partition left out")
            << Header + "/dev/sda2                               partition\t8388604\t\t"
                        "1024\t\t-2\n"
                        "/swap.img                               file\t\t1048572\t\t0\t\t-3\n"
            << QList<QString>{QStringLiteral("/swap.img")};
        QTest::newRow("escaped blank")
            << Header + "/var/my\\040swap\\040file                 file\t\t1024\t\t0\t\t-2\n"
            << QList<QString>{QStringLiteral("/var/my swap file")};
        QTest::newRow("escaped tab, line break and backslash")
            << Header + "/s\\011w\\012a\\134p file 1024 0 -2\n"
            << QList<QString>{QStringLiteral("/s\tw\na\\p")};
        QTest::newRow("pipe and quotes need no escape")
            << Header + "/sw|ap\"'x file 1024 0 -2\n"
            << QList<QString>{QStringLiteral("/sw|ap\"'x")};
        QTest::newRow("removed file") << Header + "/old\\040swap (deleted) file 1024 0 -2\n"
                                      << QList<QString>{QStringLiteral("/old swap (deleted)")};
        QTest::newRow("no final line break")
            << Header + "/a file 1 0 -2\n/b file 1 0 -3"
            << QList<QString>{QStringLiteral("/a"), QStringLiteral("/b")};
        QTest::newRow("short line skipped") << Header + "/broken file 1\n/ok file 1 0 -2\n"
                                            << QList<QString>{QStringLiteral("/ok")};
    }
    void parse()
    {
        QFETCH(QByteArray, text);
        QFETCH(QList<QString>, files);
        QCOMPARE(SwapFileList::parse(text), files);
    }

    void readsAGivenFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("swaps"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(Header + "/swap\\040one file 1024 0 -2\n");
        file.close();
        QCOMPARE(SwapFileList::read(path), QList<QString>{QStringLiteral("/swap one")});
    }

    void unreadableListIsLoggedAndEmpty()
    {
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral(
                              "^SYSTEM API Error for 'SwapFileList::read\\(\\) /nonexistent' ")));
        QVERIFY(SwapFileList::read(QStringLiteral("/nonexistent")).isEmpty());
    }

    void liveListIsReadable()
    {
        if (!QFileInfo::exists(QStringLiteral("/proc/swaps")))
            QSKIP("this kernel has no /proc/swaps");
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        // Whatever swap the machine has, each entry is an absolute path.
        for (const QString &file : SwapFileList::read())
            QVERIFY2(file.startsWith(QLatin1Char('/')), qPrintable(file));
    }
};

QTEST_GUILESS_MAIN(TestSwapFileList)
#include "tst_swapfilelist.moc"
