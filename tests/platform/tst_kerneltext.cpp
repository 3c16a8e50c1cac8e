#include "platform/kerneltext.h"
#include "testenvironment.h"

#include <QtTest>

class TestKernelText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void unescapeKernelOctal_data()
    {
        QTest::addColumn<QByteArray>("escaped");
        QTest::addColumn<QByteArray>("plain");
        QTest::newRow("no escape") << QByteArray("/swapfile") << QByteArray("/swapfile");
        QTest::newRow("blank") << QByteArray("/my\\040swap") << QByteArray("/my swap");
        QTest::newRow("tab, line break, backslash")
            << QByteArray("a\\011b\\012c\\134d") << QByteArray("a\tb\nc\\d");
        QTest::newRow("byte that is not UTF-8") << QByteArray("x\\377") << QByteArray("x\xff");
        QTest::newRow("escape at the very end") << QByteArray("end\\040") << QByteArray("end ");
        QTest::newRow("too short") << QByteArray("a\\04") << QByteArray("a\\04");
        QTest::newRow("not octal") << QByteArray("a\\089") << QByteArray("a\\089");
        QTest::newRow("above a byte") << QByteArray("a\\777") << QByteArray("a\\777");
        QTest::newRow("lone backslash") << QByteArray("a\\") << QByteArray("a\\");
        QTest::newRow("empty") << QByteArray() << QByteArray();
    }
    void unescapeKernelOctal()
    {
        QFETCH(QByteArray, escaped);
        QFETCH(QByteArray, plain);
        QCOMPARE(::unescapeKernelOctal(escaped), plain);
    }

    void readsProcFilesWhoseSizeReadsZero()
    {
        QByteArray text = "stale";
        QVERIFY(readKernelTextFile(QStringLiteral("/proc/self/mountinfo"), &text,
                                   QStringLiteral("ctx")));
        QVERIFY(text.contains(" - "));
        QCOMPARE(QFileInfo(QStringLiteral("/proc/self/mountinfo")).size(), 0);
    }

    void readsLongerThanOneBuffer()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("long"));
        QByteArray content;
        for (int i = 0; content.size() < 100000; ++i)
            content += "line " + QByteArray::number(i) + '\n';
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QByteArray text;
        QVERIFY(readKernelTextFile(path, &text, QStringLiteral("ctx")));
        QCOMPARE(text, content);
    }

    void missingFileIsLoggedAndEmpty()
    {
        QByteArray text = "stale";
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral(
                              "^SYSTEM API Error for 'Ctx::op\\(\\) /nonexistent/x' \\[2\\]: ")));
        QVERIFY(!readKernelTextFile(QStringLiteral("/nonexistent/x"), &text,
                                    QStringLiteral("Ctx::op() /nonexistent/x")));
        QVERIFY(text.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestKernelText)
#include "tst_kerneltext.moc"
