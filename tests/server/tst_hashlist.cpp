#include "server/hashlist.h"
#include "testenvironment.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

Md5Key key(const char *hex)
{
    return *Md5Key::fromHex(QByteArray(hex));
}

const char upperDigest[] = "D41D8CD98F00B204E9800998ECF8427E";
const char lowerDigest[] = "d41d8cd98f00b204e9800998ecf8427e";
const char otherDigest[] = "0123456789abcdef0123456789abcdef";

} // namespace

class TestHashList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void md5KeyReadsBothCasesAndWritesLowerCase()
    {
        const std::optional<Md5Key> upper = Md5Key::fromHex(QByteArray(upperDigest));
        QVERIFY(upper);
        QVERIFY(*upper == key(lowerDigest));
        QByteArray text;
        upper->appendHex(text);
        QCOMPARE(text, QByteArray(lowerDigest));
    }

    void md5KeyRefusesWhatIsNotADigest_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("31 digits") << QByteArray(lowerDigest).left(31);
        QTest::newRow("33 digits") << QByteArray(lowerDigest) + '0';
        QTest::newRow("non-hex letter") << QByteArray("g41d8cd98f00b204e9800998ecf8427e");
        QTest::newRow("blank inside") << QByteArray("d41d8cd98f00b204 9800998ecf8427e0");
        QTest::newRow("sha1") << QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709");
    }
    void md5KeyRefusesWhatIsNotADigest()
    {
        QFETCH(QByteArray, text);
        QVERIFY(!Md5Key::fromHex(text));
    }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("digest");
        QTest::addColumn<int>("rate"); // -1: not listed
        QTest::addColumn<qint64>("lastSeen");
        QTest::addColumn<int>("size");
        QTest::addColumn<QStringList>("problemLines");

        const QByteArray d(lowerDigest);
        QTest::newRow("rate and last seen") << d + " 42 1700000000\n"
                                            << d << 42 << qint64(1700000000) << 1 << QStringList();
        QTest::newRow("last seen missing takes the default")
            << d + " 7\n"
            << d << 7 << qint64(555) << 1 << QStringList();
        QTest::newRow("upper case is stored in lower case")
            << QByteArray(upperDigest) + " 3 10" << d << 3 << qint64(10) << 1 << QStringList();
        QTest::newRow("tabs, repeated blanks, CRLF") << "\t" + d + "  \t 9   20 \r\n"
                                                     << d << 9 << qint64(20) << 1 << QStringList();
        QTest::newRow("comments and blank lines")
            << "# header\n\n   \n  # indented comment\n" + d + " 0 1\n# " + d + " 5 5\n"
            << d << 0 << qint64(1) << 1 << QStringList();
        QTest::newRow("later line replaces earlier") << d + " 10 1\n" + d + " 20 2\n"
                                                     << d << 20 << qint64(2) << 1 << QStringList();
        QTest::newRow("malformed lines are skipped with their numbers")
            << "# ok\n" + d + "\nnot-a-digest 5\n" + d + " 101\n" + d + " -1\n" + d +
                   " 5 yesterday\n" + d + " 5 -3\n" + d + " 5 1 extra\n" + d + " 5x\n" +
                   QByteArray(otherDigest) + " 60 100\n"
            << QByteArray(otherDigest) << 60 << qint64(100) << 1
            << QStringList{QStringLiteral("line 2"), QStringLiteral("line 3"),
                           QStringLiteral("line 4"), QStringLiteral("line 5"),
                           QStringLiteral("line 6"), QStringLiteral("line 7"),
                           QStringLiteral("line 8"), QStringLiteral("line 9")};
        QTest::newRow("no final line end")
            << QByteArray(otherDigest) + " 1 2" << QByteArray(otherDigest) << 1 << qint64(2) << 1
            << QStringList();
        QTest::newRow("empty text") << QByteArray() << d << -1 << qint64(0) << 0 << QStringList();
    }
    void parse()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, digest);
        QFETCH(int, rate);
        QFETCH(qint64, lastSeen);
        QFETCH(int, size);
        QFETCH(QStringList, problemLines);

        QStringList problems;
        const HashList list = HashList::parse(text, 555, &problems);
        QCOMPARE(list.size(), size);
        const HashListEntry *entry = list.find(key(digest.constData()));
        if (rate < 0) {
            QVERIFY(!entry);
        } else {
            QVERIFY(entry);
            QCOMPARE(entry->detectionRate, rate);
            QCOMPARE(entry->lastSeen, lastSeen);
        }
        QCOMPARE(problems.size(), problemLines.size());
        for (int i = 0; i < problems.size(); ++i)
            QVERIFY2(problems.at(i).startsWith(problemLines.at(i) + ':'),
                     qPrintable(problems.at(i)));
    }

    void loadTakesTheFileTimeAsDefaultLastSeen()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("list.txt"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(lowerDigest) + " 5\n" + otherDigest + " 0 99\n");
        QVERIFY(file.flush()); // or closing would write, and touch the time again
        const QDateTime modified = QDateTime::fromSecsSinceEpoch(1600000000);
        QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
        file.close();

        QString error;
        const std::optional<HashList> list = HashList::load(path, nullptr, &error);
        QVERIFY2(list, qPrintable(error));
        QCOMPARE(list->size(), 2);
        QCOMPARE(list->find(key(lowerDigest))->lastSeen, qint64(1600000000));
        QCOMPARE(list->find(key(otherDigest))->lastSeen, qint64(99));
    }

    void loadRefusesBrokenLists_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file at all
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing file") << QByteArray() << QStringLiteral("cannot read");
        QTest::newRow("binary data")
            << QByteArray(lowerDigest) + " 5\n" + QByteArray("\0\x01\x02", 3)
            << QStringLiteral("not a text file");
        QTest::newRow("nothing usable")
            << QByteArray("these are\nnot digests\n") << QStringLiteral("no usable line");
        // "100" cut to "1" would still parse.
        QTest::newRow("last line cut") << QByteArray(lowerDigest) + " 5\n" + otherDigest + " 1"
                                       << QStringLiteral("the last line has no line end");
    }
    void loadRefusesBrokenLists()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("list.txt"));
        if (!content.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        QString error;
        QVERIFY(!HashList::load(path, nullptr, &error));
        QVERIFY2(error.contains(reason), qPrintable(error));
    }

    void loadAcceptsAListOfOnlyComments()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("list.txt"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("# nothing listed yet\n\n");
        file.close();
        QString error;
        const std::optional<HashList> list = HashList::load(path, nullptr, &error);
        QVERIFY2(list, qPrintable(error));
        QCOMPARE(list->size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestHashList)
#include "tst_hashlist.moc"
