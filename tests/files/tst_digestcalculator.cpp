#include "files/digestcalculator.h"
#include "platform/filename.h"
#include "testenvironment.h"

#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString EmptyMd5 = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
const QString EmptySha1 = QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709");
const QString AbcMd5 = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
const QString AbcSha1 = QStringLiteral("a9993e364706816aba3e25717850c26c9cd0d89d");
constexpr qint64 Chunk = 4096;

// Set in the environment of the copy of this program that digests files under
// another user id; it prints what the calculator reported instead of testing.
const char ChildVariable[] = "TST_DIGESTCALCULATOR_CHILD";
// Set for the copy of this program that keeps writing to a file until it is
// killed: it appends blocks, and when the file is large starts it over small.
const char WriterVariable[] = "TST_DIGESTCALCULATOR_WRITER";

int runAsWriter(const char *path)
{
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return 1;
    char block[4096];
    for (unsigned round = 0;; ++round) {
        memset(block, int(round & 0xff), sizeof block);
        if (::write(fd, block, sizeof block) != ssize_t(sizeof block))
            return 1;
        struct stat st;
        if (::fstat(fd, &st) == 0 && st.st_size > 32 * 1024 * 1024 && ::ftruncate(fd, 1 << 20) != 0)
            return 1;
    }
}

int runAsChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    DigestCalculator calculator;
    QObject::connect(
        &calculator, &DigestCalculator::setDigestData, &calculator,
        [](const QString &record) { std::printf("digest %s\n", qPrintable(record)); },
        Qt::DirectConnection);
    QObject::connect(
        &calculator, &DigestCalculator::fileUnreadable, &calculator,
        [](const QString &path, const QString &reason) {
            std::printf("reason %s: %s\n", qPrintable(path), qPrintable(reason));
        },
        Qt::DirectConnection);
    QObject::connect(
        &calculator, &DigestCalculator::unableToOpenFile, &calculator,
        [](const QString &path) { std::printf("unable %s\n", qPrintable(path)); },
        Qt::DirectConnection);
    calculator.setFiles(app.arguments().mid(1));
    calculator.start();
    calculator.wait();
    return 0;
}

QByteArray patterned(qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[i] = char((i * 131 + i / 4093) & 0xff);
    return data;
}

// What a record is made of: fixed-form digests at the end, the path before them.
struct Record
{
    QString path;
    QString sha1;
    QString md5;
};
Record splitRecord(const QString &record)
{
    const qsizetype md5At = record.lastIndexOf(QLatin1Char('|'));
    const qsizetype sha1At = record.lastIndexOf(QLatin1Char('|'), md5At - 1);
    return {record.left(sha1At), record.mid(sha1At + 1, md5At - sha1At - 1), record.mid(md5At + 1)};
}

// The signals of one run, in arrival order.
struct RunLog
{
    QStringList records;
    QStringList unable;
    QStringList reasons; // "path: reason" of fileUnreadable
    QStringList skipped; // "path: reason" of fileSkipped
    QStringList changed;
    QList<int> progress;
    QList<QList<QString>> digests;
    int stopped = 0;
    int maximum = -1;
    QStringList status;
};
} // namespace

class TestDigestCalculator : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString writeFile(const QString &name, const QByteArray &content)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return {};
        return path;
    }

    // Runs the calculator once; connected directly, so every signal is
    // recorded as it is emitted and hooks can act inside the worker thread.
    RunLog run(DigestCalculator &calculator, const QList<QString> &files,
               const std::function<void(DigestCalculator &, const RunLog &)> &onRecord = {},
               const std::function<void(DigestCalculator &, int)> &onProgress = {},
               const std::function<void()> &onStart = {})
    {
        RunLog log;
        QList<QMetaObject::Connection> connections;
        if (onStart)
            connections << connect(
                &calculator, &ProgressInterface::progressMaximum, this, [&] { onStart(); },
                Qt::DirectConnection);
        connections << connect(
            &calculator, &DigestCalculator::setDigestData, this,
            [&](const QString &record) {
                log.records << record;
                if (onRecord)
                    onRecord(calculator, log);
            },
            Qt::DirectConnection);
        connections << connect(
            &calculator, &DigestCalculator::unableToOpenFile, this,
            [&](const QString &path) { log.unable << path; }, Qt::DirectConnection);
        connections << connect(
            &calculator, &DigestCalculator::fileUnreadable, this,
            [&](const QString &path, const QString &reason) {
                log.reasons << path + QStringLiteral(": ") + reason;
            },
            Qt::DirectConnection);
        connections << connect(
            &calculator, &DigestCalculator::fileSkipped, this,
            [&](const QString &path, const QString &reason) {
                log.skipped << path + QStringLiteral(": ") + reason;
            },
            Qt::DirectConnection);
        connections << connect(
            &calculator, &DigestCalculator::fileChangedWhileRead, this,
            [&](const QString &path) { log.changed << path; }, Qt::DirectConnection);
        connections << connect(
            &calculator, &DigestCalculator::digestsFound, this,
            [&](const QList<QString> &md5s) { log.digests << md5s; }, Qt::DirectConnection);
        connections << connect(
            &calculator, &ProgressInterface::progressValue, this,
            [&](int value) {
                log.progress << value;
                if (onProgress)
                    onProgress(calculator, value);
            },
            Qt::DirectConnection);
        connections << connect(
            &calculator, &ProgressInterface::progressMaximum, this,
            [&](int value) { log.maximum = value; }, Qt::DirectConnection);
        connections << connect(
            &calculator, &ProgressInterface::progressStatus, this,
            [&](const QString &text) { log.status << text; }, Qt::DirectConnection);
        connections << connect(
            &calculator, &ProgressInterface::userStopped, this, [&] { ++log.stopped; },
            Qt::DirectConnection);
        if (!files.isEmpty())
            calculator.setFiles(files);
        calculator.start();
        const bool ended = calculator.wait(30000);
        for (const QMetaObject::Connection &connection : connections)
            disconnect(connection);
        if (!ended)
            qFatal("the digest calculator did not finish");
        return log;
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QVERIFY(m_dir.isValid());
    }

    void init() { DigestCalculator::setSharedChunkCounter(0); }

    void knownDigests_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("sha1");
        QTest::addColumn<QString>("md5");
        QTest::newRow("empty") << QByteArray() << EmptySha1 << EmptyMd5;
        QTest::newRow("abc") << QByteArray("abc") << AbcSha1 << AbcMd5;
        QTest::newRow("million a") << QByteArray(1000000, 'a')
                                   << QStringLiteral("34aa973cd4c4daa4f61eeb2bdbad27316534016f")
                                   << QStringLiteral("7707d6ae4e027c70eea2a935c2296f21");
    }
    void knownDigests()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, sha1);
        QFETCH(QString, md5);
        const QString path = writeFile(QStringLiteral("known"), content);
        DigestCalculator calculator;
        const RunLog log = run(calculator, {path});
        QCOMPARE(log.records, QStringList{QStringLiteral("%1|%2|%3").arg(path, sha1, md5)});
        QCOMPARE(log.digests, QList<QList<QString>>{{md5}});
        QVERIFY(log.unable.isEmpty());
        QCOMPARE(log.stopped, 0);
        QCOMPARE(log.maximum, 100);
        QCOMPARE(log.status, QStringList{QStringLiteral("Calculating digests...")});
    }

    // Sizes around the 4096-byte chunks and the larger blocks that are read.
    void digestsMatchWholeContent_data()
    {
        QTest::addColumn<qint64>("size");
        for (qint64 size : {Chunk - 1, Chunk, Chunk + 1, 256 * Chunk, 256 * Chunk + 1,
                            3 * 256 * Chunk + 123, 16 * Chunk + 7})
            QTest::addRow("%lld bytes", size) << size;
    }
    void digestsMatchWholeContent()
    {
        QFETCH(qint64, size);
        const QByteArray content = patterned(size);
        const QString path = writeFile(QStringLiteral("sized"), content);
        DigestCalculator calculator;
        const RunLog log = run(calculator, {path});
        QCOMPARE(log.records.size(), 1);
        const Record record = splitRecord(log.records.first());
        QCOMPARE(record.path, path);
        QCOMPARE(record.md5,
                 QString::fromLatin1(
                     QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex()));
        QCOMPARE(record.sha1,
                 QString::fromLatin1(
                     QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex()));
    }

    void oneBlockAndLongerFilesInTurn()
    {
        // Small files share one of the reader's buffers, longer ones span
        // several: switching between the two must not carry anything from one
        // file into the next.
        QStringList paths;
        QList<QByteArray> contents;
        for (qint64 size : {3 * 256 * Chunk + 5, qint64(3), 256 * Chunk + 1, 256 * Chunk, qint64(0),
                            2 * 256 * Chunk}) {
            contents << patterned(size);
            paths << writeFile(QStringLiteral("turn%1").arg(paths.size()), contents.last());
        }
        DigestCalculator calculator;
        const RunLog log = run(calculator, paths);
        QCOMPARE(log.records.size(), paths.size());
        for (int i = 0; i < paths.size(); ++i) {
            const Record record = splitRecord(log.records.at(i));
            QCOMPARE(record.path, paths.at(i));
            QCOMPARE(
                record.sha1,
                QString::fromLatin1(
                    QCryptographicHash::hash(contents.at(i), QCryptographicHash::Sha1).toHex()));
            QCOMPARE(
                record.md5,
                QString::fromLatin1(
                    QCryptographicHash::hash(contents.at(i), QCryptographicHash::Md5).toHex()));
        }
    }

    // A file is read and given its SHA-1 on one thread while the MD5 of the
    // files before it is computed on another. A run over many files of mixed
    // sizes, with failures among them, must report exactly what runs of one
    // file each report, in the order of the list.
    void manyFilesAtOnceReportAsOneAtATime()
    {
        const qint64 sizes[] = {0,
                                1,
                                Chunk - 1,
                                Chunk,
                                Chunk + 1,
                                63,
                                64 * Chunk - 1,
                                64 * Chunk,
                                64 * Chunk + 1,
                                200 * Chunk + 17,
                                700 * Chunk + 3,
                                5};
        const QString missing = m_dir.filePath(QStringLiteral("many-missing"));
        QStringList paths;
        // More files than one buffer holds, so batches end on a count of
        // files as well as on bytes.
        for (int i = 0; i < 150; ++i) {
            if (i % 37 == 36) {
                paths << missing;
                continue;
            }
            const qint64 size = sizes[i % std::size(sizes)];
            QByteArray content = patterned(size + i % 3);
            if (!content.isEmpty())
                content[0] = char(i);
            paths << writeFile(QStringLiteral("many%1").arg(i), content);
            QVERIFY(!paths.last().isEmpty());
        }
        DigestCalculator calculator;
        const RunLog together = run(calculator, paths);

        RunLog alone;
        for (const QString &path : std::as_const(paths)) {
            const RunLog one = run(calculator, {path});
            alone.records << one.records;
            alone.unable << one.unable;
            alone.reasons << one.reasons;
            alone.digests << one.digests;
        }
        QCOMPARE(together.records, alone.records);
        QCOMPARE(together.unable, alone.unable);
        QCOMPARE(together.reasons, alone.reasons);
        QCOMPARE(together.unable.size(), 4);
        QCOMPARE(together.records.size(), paths.size() - 4);
        QList<QString> md5s;
        for (const QList<QString> &one : std::as_const(alone.digests))
            md5s << one;
        QCOMPARE(together.digests, QList<QList<QString>>{md5s});
        // And each record is the digest of its own file.
        for (const QString &line : std::as_const(together.records)) {
            const Record record = splitRecord(line);
            QFile file(record.path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray content = file.readAll();
            QCOMPARE(record.md5,
                     QString::fromLatin1(
                         QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex()));
            QCOMPARE(record.sha1,
                     QString::fromLatin1(
                         QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex()));
        }
    }

    void samePathTwiceIsDigestedTwice()
    {
        const QString path = writeFile(QStringLiteral("twice"), "abc");
        DigestCalculator calculator;
        const RunLog log = run(calculator, {path, path});
        const QString record = QStringLiteral("%1|%2|%3").arg(path, AbcSha1, AbcMd5);
        QCOMPARE(log.records, QStringList({record, record}));
        QCOMPARE(log.digests, QList<QList<QString>>({{AbcMd5, AbcMd5}}));
    }

    void relativePathBecomesAbsolute()
    {
        const QString path = writeFile(QStringLiteral("relative"), "abc");
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir.path()));
        const auto back = qScopeGuard([&] { QDir::setCurrent(before); });
        DigestCalculator calculator;
        const RunLog log = run(calculator, {QStringLiteral("./relative")});
        QCOMPARE(log.records, QStringList{QStringLiteral("%1|%2|%3").arg(path, AbcSha1, AbcMd5)});
    }

    // Names with "|", quotes, line breaks or "%1" are digested and read back whole.
    void unusualNamesKeepTheirRecord_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("pipe") << QStringLiteral("a|b|c.exe");
        QTest::newRow("quotes") << QStringLiteral("say \"hi\" 'there'.dll");
        QTest::newRow("line break") << QStringLiteral("two\nlines.sys");
        QTest::newRow("placeholders") << QStringLiteral("%1 %2 %3.exe");
        QTest::newRow("only a pipe") << QStringLiteral("|");
    }
    void unusualNamesKeepTheirRecord()
    {
        QFETCH(QString, name);
        const QString path = writeFile(name, "abc");
        QVERIFY(!path.isEmpty());
        DigestCalculator calculator;
        const RunLog log = run(calculator, {path});
        QCOMPARE(log.records.size(), 1);
        QCOMPARE(log.records.first(), path + QStringLiteral("|%1|%2").arg(AbcSha1, AbcMd5));
        const Record record = splitRecord(log.records.first());
        QCOMPARE(record.path, path);
        QCOMPARE(record.md5, AbcMd5);
    }

    // None of these yields a digest; none may block or end the run. Each says why.
    void unreadablePathsAreReported_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QStringLiteral("MISSING")
                                 << QStringLiteral("No such file or directory");
        QTest::newRow("loop of links")
            << QStringLiteral("LOOP") << QStringLiteral("Too many levels of symbolic links");
        QTest::newRow("fifo without writer")
            << QStringLiteral("FIFO") << QStringLiteral("Not a regular file");
        QTest::newRow("device") << QStringLiteral("/dev/zero")
                                << QStringLiteral("Not a regular file");
        QTest::newRow("folder") << QStringLiteral("FOLDER") << QStringLiteral("Not a regular file");
    }
    void unreadablePathsAreReported()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        if (path == QLatin1String("MISSING"))
            path = m_dir.filePath(QStringLiteral("missing"));
        if (path == QLatin1String("FOLDER"))
            path = m_dir.path();
        if (path == QLatin1String("FIFO")) {
            path = m_dir.filePath(QStringLiteral("fifo"));
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        }
        if (path == QLatin1String("LOOP")) {
            path = m_dir.filePath(QStringLiteral("loop"));
            QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("loop2")), path));
            QVERIFY(QFile::link(path, m_dir.filePath(QStringLiteral("loop2"))));
        }
        const auto removeFixtures = qScopeGuard([&] {
            QFile::remove(m_dir.filePath("fifo"));
            QFile::remove(m_dir.filePath("loop"));
            QFile::remove(m_dir.filePath("loop2"));
        });
        const QString good = writeFile(QStringLiteral("good"), "abc");
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable(QStringLiteral("DigestCalculator could not open file '%1'.").arg(path)));
        QTest::ignoreMessage(QtWarningMsg, "DigestCalculator couldn't open 1 files for reading.");
        DigestCalculator calculator;
        const RunLog log = run(calculator, {path, good});
        QCOMPARE(log.unable, QStringList{path});
        QCOMPARE(log.reasons, QStringList{path + QStringLiteral(": ") + reason});
        QCOMPARE(log.records, QStringList{QStringLiteral("%1|%2|%3").arg(good, AbcSha1, AbcMd5)});
        QCOMPARE(log.digests, QList<QList<QString>>{{AbcMd5}});
        QVERIFY(log.skipped.isEmpty());
    }

    // Files of pseudo file systems are never opened, whether the walk found
    // them or they were named: reading some never ends (/proc/kmsg blocks) or
    // consumes what they show. A real file reached through /proc is read.
    void filesOfPseudoFileSystemsAreSkipped_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("proc") << QStringLiteral("/proc/self/status")
                              << QStringLiteral("On a pseudo file system (proc)");
        QTest::newRow("proc, read fails")
            << QStringLiteral("/proc/self/mem") << QStringLiteral("On a pseudo file system (proc)");
        QTest::newRow("sysfs") << QStringLiteral("/sys/kernel/mm/transparent_hugepage/enabled")
                               << QStringLiteral("On a pseudo file system (sysfs)");
        QTest::newRow("a real file through /proc") << QStringLiteral("THROUGH PROC") << QString();
    }
    void filesOfPseudoFileSystemsAreSkipped()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        const QString good = writeFile(QStringLiteral("good"), "abc");
        if (path == QLatin1String("THROUGH PROC"))
            path = QStringLiteral("/proc/self/root") + good;
        if (!QFileInfo::exists(path))
            QSKIP("this machine has no such kernel file");
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        DigestCalculator calculator;
        const RunLog log = run(calculator, {path, good});
        const QString record = QStringLiteral("|%1|%2").arg(AbcSha1, AbcMd5);
        if (reason.isEmpty()) {
            QVERIFY(log.skipped.isEmpty());
            QCOMPARE(log.records, QStringList({path + record, good + record}));
        } else {
            QCOMPARE(log.skipped, QStringList{path + QStringLiteral(": ") + reason});
            QCOMPARE(log.records, QStringList{good + record});
        }
        QVERIFY(log.unable.isEmpty());
        QCOMPARE(log.digests.size(), 1);
    }

    // Only the size seen when the file was opened is read; a file that changed
    // meanwhile has no digest, as it would be of a mixture.
    void fileChangedWhileItIsRead()
    {
        const QByteArray content = patterned(3 * 256 * Chunk);
        const QString changing = writeFile(QStringLiteral("changing"), content);
        const QString steady = writeFile(QStringLiteral("steady"), "abc");
        // The first paced progress report comes after the first chunk of the
        // first file, right after the report of 0 at the start.
        DigestCalculator::setSharedChunkCounter(1001);
        int reports = 0;
        bool appended = false;
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable(
                QStringLiteral("DigestCalculator: '%1' changed while it was read.").arg(changing)));
        QTest::ignoreMessage(QtWarningMsg,
                             "DigestCalculator: 1 files changed while they were read.");
        DigestCalculator calculator;
        const RunLog log = run(calculator, {changing, steady}, {}, [&](DigestCalculator &, int) {
            if (++reports == 2) {
                QFile file(changing);
                appended = file.open(QIODevice::Append) && file.write("more") == 4;
            }
        });
        QVERIFY(appended);
        QCOMPARE(log.changed, QStringList{changing});
        QCOMPARE(log.records, QStringList{QStringLiteral("%1|%2|%3").arg(steady, AbcSha1, AbcMd5)});
        QCOMPARE(log.digests, QList<QList<QString>>{{AbcMd5}});
        QVERIFY(log.unable.isEmpty());
    }

    // A writer that never stops: each run reads no more than the size seen at
    // opening, so it ends; the test runs it until one run sees the change.
    void fileWithAWriterThatNeverStops()
    {
        const QString path = writeFile(QStringLiteral("written"), patterned(8 * 1024 * 1024));
        QProcess writer;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(WriterVariable), QStringLiteral("1"));
        writer.setProcessEnvironment(environment);
        writer.start(QCoreApplication::applicationFilePath(), {path});
        QVERIFY(writer.waitForStarted(30000));
        const auto stopWriter = qScopeGuard([&] {
            writer.kill();
            writer.waitForFinished(30000);
        });
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable(
                QStringLiteral("DigestCalculator: '%1' changed while it was read.").arg(path)));
        QTest::ignoreMessage(QtWarningMsg,
                             "DigestCalculator: 1 files changed while they were read.");
        QDeadlineTimer deadline(60000);
        RunLog log;
        int runs = 0;
        while (log.changed.isEmpty() && !deadline.hasExpired() &&
               writer.state() == QProcess::Running) {
            DigestCalculator calculator;
            log = run(calculator, {path});
            ++runs;
        }
        QVERIFY2(writer.state() == QProcess::Running, "the writer stopped");
        QCOMPARE(log.changed, QStringList{path});
        QVERIFY(log.records.isEmpty());
        QCOMPARE(log.digests, QList<QList<QString>>{{}});
        qDebug("the change was seen in run %d", runs);
    }

    void runWhereNothingOpensStillEnds()
    {
        const QString missing = m_dir.filePath(QStringLiteral("missing"));
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable(QStringLiteral("DigestCalculator could not open file '%1'.").arg(missing)));
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable(QStringLiteral("DigestCalculator could not open file '%1'.").arg(missing)));
        QTest::ignoreMessage(QtWarningMsg, "DigestCalculator couldn't open 2 files for reading.");
        DigestCalculator calculator;
        const RunLog log = run(calculator, {missing, missing});
        QCOMPARE(log.unable, QStringList({missing, missing}));
        QCOMPARE(log.digests, QList<QList<QString>>{{}});
        QCOMPARE(log.stopped, 0);
    }

    void nameThatIsNotUtf8IsDigested()
    {
        const QByteArray raw = QFile::encodeName(m_dir.path()) + "/caf\xe9.com";
        const QByteArray eicar = QByteArrayLiteral(
            "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*");
        std::FILE *file = std::fopen(raw.constData(), "w");
        QVERIFY(file);
        QCOMPARE(std::fwrite(eicar.constData(), 1, size_t(eicar.size()), file),
                 size_t(eicar.size()));
        std::fclose(file);
        const auto remove = qScopeGuard([&] { ::unlink(raw.constData()); });
        // The walk reports it in the lossless form; the record keeps that form.
        const QString path = FileName::fromBytes(raw);
        DigestCalculator calculator;
        const RunLog log = run(calculator, {path});
        QVERIFY(log.unable.isEmpty());
        QCOMPARE(log.records,
                 QStringList{path + QStringLiteral("|3395856ce81f2b7382dee72602f798b642f14140|"
                                                   "44d88612fea8a8f36de82e1278abb02f")});
    }

    void fileWithoutReadPermission()
    {
        // Root reads everything, so the check runs in a copy of this program
        // that has given up root for the unprivileged user 65534.
        QTemporaryDir shared;
        QVERIFY(shared.isValid());
        QVERIFY(QFile::setPermissions(shared.path(),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther));
        const QString locked = shared.filePath(QStringLiteral("locked.exe"));
        const QString open = shared.filePath(QStringLiteral("open.exe"));
        for (const QString &path : {locked, open}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("abc");
        }
        QVERIFY(QFile::setPermissions(locked, QFileDevice::WriteOwner));
        QVERIFY(QFile::setPermissions(open, QFileDevice::ReadOwner | QFileDevice::ReadOther));

        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        const QStringList files = {locked, open};
        if (geteuid() == 0)
            child.start(QStringLiteral("setpriv"),
                        QStringList{QStringLiteral("--reuid=65534"),
                                    QStringLiteral("--regid=65534"),
                                    QStringLiteral("--clear-groups"),
                                    QCoreApplication::applicationFilePath()} +
                            files);
        else
            child.start(QCoreApplication::applicationFilePath(), files);
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitCode(), 0);
        const QStringList lines = QString::fromUtf8(child.readAllStandardOutput())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines,
                 QStringList({QStringLiteral("reason %1: Permission denied").arg(locked),
                              QStringLiteral("unable ") + locked,
                              QStringLiteral("digest %1|%2|%3").arg(open, AbcSha1, AbcMd5)}));
    }

    void progressIsPacedByTheSharedCounter()
    {
        // 3006 chunks: the counter passes 1000 on chunks 1002, 2004 and 3006.
        const QString path = writeFile(QStringLiteral("paced"), patterned(3006 * Chunk));
        DigestCalculator calculator;
        RunLog log = run(calculator, {path});
        QCOMPARE(log.progress, QList<int>({0, 33, 66, 100}));
        QCOMPARE(DigestCalculator::sharedChunkCounter(), 0);

        // Few chunks report nothing beyond the first 0, but the count carries on
        // into the next run and the next worker.
        const QString small = writeFile(QStringLiteral("small"), patterned(10 * Chunk));
        log = run(calculator, {small});
        QCOMPARE(log.progress, QList<int>{0});
        QCOMPARE(DigestCalculator::sharedChunkCounter(), 10);

        DigestCalculator other;
        DigestCalculator::setSharedChunkCounter(1001);
        log = run(other, {small});
        QCOMPARE(log.progress, QList<int>({0, 10}));
        QCOMPARE(DigestCalculator::sharedChunkCounter(), 9);
    }

    void progressWhenTheSizesSummedToZero()
    {
        // The file was empty when the sizes were summed and got its content
        // before it was opened: the percentage must stay a number instead of
        // dividing by zero.
        const QString path = writeFile(QStringLiteral("filled late"), QByteArray());
        DigestCalculator::setSharedChunkCounter(1001);
        DigestCalculator calculator;
        const RunLog log = run(calculator, {path}, {}, {}, [&] {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("abc") == 3);
        });
        QCOMPARE(log.records, QStringList{QStringLiteral("%1|%2|%3").arg(path, AbcSha1, AbcMd5)});
        QCOMPARE(log.progress, QList<int>({0, 100}));
    }

    void stopInsideAFile()
    {
        // Stop when the first progress report comes, at chunk 1002 of 2048.
        const QString big = writeFile(QStringLiteral("big"), patterned(2048 * Chunk));
        const QString next = writeFile(QStringLiteral("next"), "abc");
        DigestCalculator calculator;
        const RunLog log = run(calculator, {big, next}, {}, [](DigestCalculator &c, int value) {
            if (value > 0)
                c.userRequestStop();
        });
        // The file's record still comes, with both digests empty; nothing after it.
        QCOMPARE(log.records, QStringList{big + QStringLiteral("||")});
        QCOMPARE(log.progress, QList<int>({0, 48}));
        QCOMPARE(log.stopped, 1);
        QVERIFY(log.digests.isEmpty());
        // The stop was seen right after the chunk that reported progress: the
        // counter it reset has not moved since.
        QCOMPARE(DigestCalculator::sharedChunkCounter(), 0);
    }

    void stopBetweenFiles()
    {
        const QString first = writeFile(QStringLiteral("first"), "abc");
        const QString second = writeFile(QStringLiteral("second"), "abc");
        DigestCalculator calculator;
        const RunLog log = run(calculator, {first, second, first},
                               [](DigestCalculator &c, const RunLog &) { c.userRequestStop(); });
        QCOMPARE(log.records, QStringList{QStringLiteral("%1|%2|%3").arg(first, AbcSha1, AbcMd5)});
        QCOMPARE(log.stopped, 1);
        QVERIFY(log.digests.isEmpty());
    }

    void eachRunNeedsFreshFiles()
    {
        const QString path = writeFile(QStringLiteral("once"), "abc");
        DigestCalculator calculator;
        RunLog log = run(calculator, {path});
        QCOMPARE(log.records.size(), 1);
        // The run cleared its list; a stop while idle is forgotten by the next run.
        calculator.userRequestStop();
        log = run(calculator, {});
        QVERIFY(log.records.isEmpty());
        QCOMPARE(log.digests, QList<QList<QString>>{{}});
        QCOMPARE(log.stopped, 0);

        calculator.setFiles({path});
        calculator.reset();
        log = run(calculator, {});
        QVERIFY(log.records.isEmpty());
    }

    void queuedSignalsReachTheGuiThread()
    {
        const QString path = writeFile(QStringLiteral("queued"), "abc");
        DigestCalculator calculator;
        QStringList records;
        QList<QList<QString>> digests;
        bool onGuiThread = true;
        connect(&calculator, &DigestCalculator::setDigestData, this, [&](const QString &record) {
            records << record;
            onGuiThread = onGuiThread && QThread::currentThread() == thread();
        });
        connect(&calculator, &DigestCalculator::digestsFound, this,
                [&](const QList<QString> &md5s) {
                    digests << md5s;
                    onGuiThread = onGuiThread && QThread::currentThread() == thread();
                });
        calculator.setFiles({path});
        calculator.start(QThread::LowPriority);
        QTRY_COMPARE_WITH_TIMEOUT(digests.size(), 1, 30000);
        QVERIFY(calculator.wait(5000));
        QCOMPARE(records, QStringList{QStringLiteral("%1|%2|%3").arg(path, AbcSha1, AbcMd5)});
        QCOMPARE(digests.first(), QList<QString>{AbcMd5});
        QVERIFY(onGuiThread);
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(ChildVariable))
        return runAsChild(argc, argv);
    if (qEnvironmentVariableIsSet(WriterVariable) && argc == 2)
        return runAsWriter(argv[1]);
    QCoreApplication app(argc, argv);
    TestDigestCalculator test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_digestcalculator.moc"
