#include "platform/regularfile.h"
#include "testenvironment.h"

#include <QtTest>

#include <cerrno>
#include <sys/stat.h>

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

    void theEndIsKnownFromAShortReadAtTheSizeOfOpening()
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
        // What was written after the file was opened is read too, up to the
        // short read that ends it.
        QCOMPARE(out.write("abc"), qint64(3));
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(9));
        QCOMPARE(QByteArray(buffer, 9), QByteArray("456789abc"));
        QVERIFY(file.atEnd());
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(0));
        // Opening again starts over.
        QVERIFY(file.open(path));
        QVERIFY(!file.atEnd());
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(13));
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
};

QTEST_GUILESS_MAIN(TestRegularFile)
#include "tst_regularfile.moc"
