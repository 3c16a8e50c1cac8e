#include "files/digestcalculator.h"
#include "files/filescanlog.h"
#include "files/filescanpipeline.h"
#include "files/slicedrelay.h"
#include "files/sqlmodel.h"
#include "platform/clock.h"
#include "registry/orvexcache.h"
#include "registry/orvexhandler.h"
#include "registrytestserver.h"
#include "testenvironment.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <memory>

namespace {
constexpr int ScanTimeout = 30000;
const quint32 Seen = 1275400000;

QByteArray content(int i)
{
    return "file number " + QByteArray::number(i) + '\n';
}

QString md5Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// Every 97th file is listed as malware.
bool listed(int i)
{
    return i % 97 == 0;
}

int count(const QString &where)
{
    QSqlQuery query;
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM items WHERE %1").arg(where)) ||
        !query.next())
        qFatal("cannot count rows");
    return query.value(0).toInt();
}

// What the table holds when the pipeline reports an end.
struct Tally
{
    int rows = -1;
    int checked = -1;
    int malicious = -1;
};

Tally tally()
{
    return {count(QStringLiteral("1")), count(QStringLiteral("check_state = 4")),
            count(QStringLiteral("detection_rate > 0"))};
}
} // namespace

// The scan sequence shared by the Files tab and the command line, driven here
// as a face drives it: the test starts it, asks the registry for it (a real
// handler against a local registry, or answers handed over directly) and
// reports the end of the query.
class TestFileScanPipeline : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SqlModel> m_model;
    std::unique_ptr<FileScanPipeline> m_pipeline;

    // A folder of `files` small files in folders of a hundred.
    QString makeTree(int files)
    {
        const QString root = m_dir->filePath(QStringLiteral("tree"));
        for (int i = 0; i < files; ++i) {
            const QString folder = QStringLiteral("%1/d%2").arg(root).arg(i / 100);
            QDir().mkpath(folder);
            QFile file(QStringLiteral("%1/f%2.txt").arg(folder).arg(i));
            if (!file.open(QIODevice::WriteOnly) || file.write(content(i)) != content(i).size())
                qFatal("cannot write a file");
        }
        return root;
    }

    // The registry's verdict for each digest, as the records a handler emits.
    static QList<QString> answersFor(const QList<QString> &digests, int files)
    {
        QHash<QString, int> rates;
        for (int i = 0; i < files; ++i)
            rates.insert(md5Of(content(i)), listed(i) ? 40 : 0);
        QList<QString> answers;
        for (const QString &digest : digests)
            answers.append(QStringLiteral("%1|%2|2010-06-01 14:03:59")
                               .arg(digest)
                               .arg(rates.value(digest, -1)));
        return answers;
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        qRegisterMetaType<QList<QString>>("QList<QString>");
    }

    void init()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(db.open());
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_model = std::make_unique<SqlModel>();
        m_pipeline = std::make_unique<FileScanPipeline>(m_model.get());
        Clock::setTestWaitDivisor(100);
        DigestCalculator::setSharedChunkCounter(0);
    }

    void cleanup()
    {
        m_pipeline.reset();
        m_model.reset();
        m_dir.reset();
        QSqlDatabase::database().close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
        Clock::resetTestSeam();
    }

    // Files are stored a thousand per transaction and answers applied a
    // thousand at a time; whatever is left in a batch when the walk or the
    // query ends is stored before the end is reported.
    void batchingLosesNothing_data()
    {
        QTest::addColumn<int>("files");
        QTest::newRow("one file") << 1;
        QTest::newRow("one batch") << 1000;
        QTest::newRow("batches and a rest") << 2345;
    }

    void batchingLosesNothing()
    {
        QFETCH(int, files);
        const QString root = makeTree(files);
        int malware = 0;
        for (int i = 0; i < files; ++i)
            malware += listed(i) ? 1 : 0;

        QList<QString> asked;
        Tally atEnd;
        int statistics = -1;
        QSignalSpy finished(m_pipeline.get(), &FileScanPipeline::finished);
        QSignalSpy aborted(m_pipeline.get(), &FileScanPipeline::aborted);
        QSignalSpy stops(m_pipeline.get(), &FileScanPipeline::queryStopRequested);
        connect(m_pipeline->scanLog(), &FileScanLog::scanStatistics, this,
                [&statistics](int found) { statistics = found; });
        connect(m_pipeline.get(), &FileScanPipeline::queryRequested, this,
                [&](const QList<QString> &digests) {
                    asked = digests;
                    // Every answer and the end in one go, as a fast registry's
                    // relay may deliver them: the end must not overtake them.
                    for (const QString &answer : answersFor(digests, files))
                        m_pipeline->applyAnswer(answer);
                    m_pipeline->handleQueryFinished();
                });
        connect(m_pipeline.get(), &FileScanPipeline::finished, this, [&] { atEnd = tally(); });

        QVERIFY(m_pipeline->start({root}, FileScanPipeline::FullScan));
        QVERIFY(finished.wait(ScanTimeout));
        QCOMPARE(aborted.count(), 0);
        QCOMPARE(stops.count(), 0);
        QCOMPARE(asked.size(), files);
        QCOMPARE(atEnd.rows, files);
        QCOMPARE(atEnd.checked, files);
        QCOMPARE(atEnd.malicious, malware);
        QCOMPARE(statistics, malware);
        QCOMPARE(m_pipeline->filesFound(), qint64(files));
        QCOMPARE(m_pipeline->filesDigested(), qint64(files));
        QCOMPARE(m_pipeline->answersApplied(), qint64(files));
        QCOMPARE(count(QStringLiteral("bytes IS NULL OR bytes < 0")), 0);
        QVERIFY(!m_pipeline->isBusy());
    }

    // The whole road with a real registry: a handler on its own thread whose
    // answers and end reach the pipeline through a relay, as both faces wire it.
    void scanAgainstALocalRegistry()
    {
        constexpr int Files = 300;
        const QString root = makeTree(Files);
        RegistryTestServer server;
        QVERIFY(server.listen());
        server.setCloseAfter(qint64(1) << 40);
        int malware = 0;
        for (int i = 0; i < Files; ++i) {
            server.setAnswer(md5Of(content(i)), Seen, listed(i) ? 40 : 0);
            malware += listed(i) ? 1 : 0;
        }
        qputenv("WINORVEX_REGISTRY", server.address());
        const auto unset = qScopeGuard([] { qunsetenv("WINORVEX_REGISTRY"); });

        OrvexCache cache;
        std::unique_ptr<OrvexHandler> handler;
        SlicedRelay relay;
        FileScanPipeline *pipeline = m_pipeline.get();
        connect(
            pipeline, &FileScanPipeline::queryRequested, this, [&](const QList<QString> &digests) {
                handler = std::make_unique<OrvexHandler>(&cache);
                relay.forward(handler.get(), &OrvexHandler::setOrvexDataPacked,
                              [pipeline](const QString &record) { pipeline->applyAnswer(record); });
                connect(
                    handler.get(), &QThread::finished, &relay,
                    [&relay, pipeline] {
                        relay.post([pipeline] { pipeline->handleQueryFinished(); });
                    },
                    Qt::DirectConnection);
                handler->sendQuery(digests);
            });
        Tally atEnd;
        QSignalSpy finished(pipeline, &FileScanPipeline::finished);
        connect(pipeline, &FileScanPipeline::finished, this, [&] { atEnd = tally(); });
        QVERIFY(pipeline->start({root}, FileScanPipeline::FullScan));
        QVERIFY(finished.wait(ScanTimeout));
        QCOMPARE(atEnd.rows, Files);
        QCOMPARE(atEnd.checked, Files);
        QCOMPARE(atEnd.malicious, malware);
        QCOMPARE(server.requestCount(), 1);
    }

    // A stop in any phase ends the scan once, as stopped: rows the registry
    // answered stay, the others go, unless the registry could not be reached
    // (then they stay, not checked). The query is asked to stop only when one
    // runs, and the pipeline stays busy until that query has ended.
    void stopInEachPhase_data()
    {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<bool>("giveUp");
        QTest::newRow("walking") << "walking" << false;
        QTest::newRow("digesting") << "digesting" << false;
        QTest::newRow("querying") << "querying" << false;
        QTest::newRow("registry unreachable") << "querying" << true;
    }

    void stopInEachPhase()
    {
        QFETCH(QString, phase);
        QFETCH(bool, giveUp);
        constexpr int Files = 300;
        constexpr int Answered = 120;
        const QString root = makeTree(Files);
        FileScanPipeline *pipeline = m_pipeline.get();

        QSignalSpy finished(pipeline, &FileScanPipeline::finished);
        QSignalSpy aborted(pipeline, &FileScanPipeline::aborted);
        QSignalSpy queries(pipeline, &FileScanPipeline::queryRequested);
        QSignalSpy stops(pipeline, &FileScanPipeline::queryStopRequested);
        QString summary;
        connect(pipeline->scanLog(), &FileScanLog::scanSummary, this,
                [&summary](const QString &text) { summary = text; });
        Tally atEnd;
        connect(pipeline, &FileScanPipeline::aborted, this, [&] { atEnd = tally(); });

        if (phase == QLatin1String("digesting")) {
            connect(pipeline, &FileScanPipeline::digestStarting, this,
                    [pipeline] { pipeline->userRequestStop(); });
        } else if (phase == QLatin1String("querying")) {
            // Part of the answers arrive, then the user (or the face that
            // found the registry unreachable) stops the query.
            connect(pipeline, &FileScanPipeline::queryRequested, this,
                    [pipeline, giveUp](const QList<QString> &digests) {
                        for (const QString &answer : answersFor(digests.mid(0, Answered), Files))
                            pipeline->applyAnswer(answer);
                        if (giveUp)
                            pipeline->giveUpQuery();
                        else
                            pipeline->userRequestStop();
                    });
        }
        QVERIFY(pipeline->start({root}, FileScanPipeline::FullScan));
        QCOMPARE(pipeline->phase(), FileScanPipeline::Phase::Walking);
        if (phase == QLatin1String("walking"))
            pipeline->userRequestStop();

        if (phase == QLatin1String("querying")) {
            QVERIFY(stops.wait(ScanTimeout));
            QCOMPARE(stops.count(), 1);
            // The query has not ended yet: neither has the scan, and no other
            // scan may start over it.
            QVERIFY(pipeline->isRunning());
            QVERIFY(!pipeline->start({root}, FileScanPipeline::FullScan));
            QCOMPARE(aborted.count(), 0);
            pipeline->handleQueryFinished();
        }
        QTRY_COMPARE_WITH_TIMEOUT(aborted.count(), 1, ScanTimeout);
        QCOMPARE(finished.count(), 0);
        QVERIFY(!pipeline->isRunning());
        QVERIFY2(summary.startsWith(QLatin1String("The Full Scan of the directory")) &&
                     summary.contains(QLatin1String(" was aborted after ")),
                 qPrintable(summary));
        if (phase == QLatin1String("querying")) {
            QCOMPARE(queries.count(), 1);
            QCOMPARE(atEnd.checked, Answered);
            QCOMPARE(atEnd.rows, giveUp ? Files : Answered);
        } else {
            QCOMPARE(queries.count(), 0);
            QCOMPARE(stops.count(), 0);
            QCOMPARE(atEnd.rows, 0);
        }

        // Nothing of the stopped scan comes after its end, and the next scan runs.
        pipeline->handleQueryFinished();
        QTRY_VERIFY_WITH_TIMEOUT(!pipeline->isBusy(), ScanTimeout);
        QCOMPARE(aborted.count(), 1);
        QCOMPARE(finished.count(), 0);
        disconnect(pipeline, &FileScanPipeline::queryRequested, this, nullptr);
        disconnect(pipeline, &FileScanPipeline::digestStarting, this, nullptr);
        connect(pipeline, &FileScanPipeline::queryRequested, this,
                [pipeline] { pipeline->handleQueryFinished(); });
        QVERIFY(pipeline->start({root}, FileScanPipeline::FullScan));
        QVERIFY(finished.wait(ScanTimeout));
        QCOMPARE(aborted.count(), 1);
    }

    // Every file the walk keeps ends with a digest or a row that says why it has
    // none, and every item the walk could not enter is reported before the walk
    // ends: a file gone before it was read, a kernel file, a symbolic link loop.
    void nothingIsLeftOutInSilence()
    {
        const QString kernelFile = QStringLiteral("/proc/self/status");
        if (!QFileInfo::exists(kernelFile))
            QSKIP("no /proc here to name a file of a pseudo file system");
        const QString root = makeTree(3);
        const QString gone = root + QStringLiteral("/d0/f1.txt");
        const QString loop = m_dir->filePath(QStringLiteral("loop"));
        QVERIFY(QFile::link(loop + QStringLiteral("2"), loop));
        QVERIFY(QFile::link(loop, loop + QStringLiteral("2")));
        FileScanPipeline *pipeline = m_pipeline.get();

        QStringList order;
        connect(pipeline, &FileScanPipeline::folderUnreadable, this,
                [&order](const QString &path, const QString &reason) {
                    order << QStringLiteral("folder %1: %2").arg(path, reason);
                });
        connect(pipeline, &FileScanPipeline::fileUnreadable, this,
                [&order](const QString &path, const QString &reason) {
                    order << QStringLiteral("file %1: %2").arg(path, reason);
                });
        connect(pipeline, &FileScanPipeline::walkFinished, this, [&order] { order << "walked"; });
        // Removed after the walk found it and before it is read.
        connect(pipeline, &FileScanPipeline::digestStarting, this,
                [&gone] { QVERIFY(QFile::remove(gone)); });
        QList<QString> asked;
        connect(pipeline, &FileScanPipeline::queryRequested, this,
                [&](const QList<QString> &digests) {
                    asked = digests;
                    for (const QString &answer : answersFor(digests, 3))
                        pipeline->applyAnswer(answer);
                    pipeline->handleQueryFinished();
                });
        QSignalSpy finished(pipeline, &FileScanPipeline::finished);
        QVERIFY(pipeline->start({root, kernelFile, loop}, FileScanPipeline::FullScan));
        QVERIFY(finished.wait(ScanTimeout));

        QCOMPARE(
            order,
            (QStringList{QStringLiteral("folder %1: Too many levels of symbolic links").arg(loop),
                         QStringLiteral("walked"),
                         QStringLiteral("file %1: No such file or directory").arg(gone)}));
        QCOMPARE(asked.size(), 2);
        QCOMPARE(pipeline->filesFound(), qint64(4));
        QCOMPARE(pipeline->filesDigested(), qint64(4));
        QSqlQuery rows;
        QVERIFY(rows.exec(QStringLiteral("SELECT path, check_state, status FROM items WHERE "
                                         "check_state != 4 ORDER BY status")));
        QList<QStringList> unchecked;
        while (rows.next())
            unchecked.append(
                {rows.value(0).toString(), rows.value(1).toString(), rows.value(2).toString()});
        QCOMPARE(unchecked,
                 (QList<QStringList>{{kernelFile, "2", "Skipped: On a pseudo file system (proc)."},
                                     {gone, "2", "Unable to open file."}}));
        QCOMPARE(count(QStringLiteral("check_state = 4")), 2);
    }

    // A file written to while it is read has no digest (it would be of a
    // mixture): its row says so, it is not checked and nothing is asked for it.
    void fileChangedWhileReadIsNotChecked()
    {
        const QString changing = m_dir->filePath(QStringLiteral("changing.bin"));
        {
            QFile file(changing);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(QByteArray(3 * 1024 * 1024, 'x')) == 3 * 1024 * 1024);
        }
        FileScanPipeline *pipeline = m_pipeline.get();
        // The first paced progress report comes after the first chunk of the
        // file, right after the report of 0 at the start; the file grows then,
        // on the worker's thread, while it is being read.
        DigestCalculator::setSharedChunkCounter(1001);
        int reports = 0;
        bool appended = false;
        connect(
            pipeline->digestWorker(), &ProgressInterface::progressValue, this,
            [&](int) {
                if (++reports == 2) {
                    QFile file(changing);
                    appended = file.open(QIODevice::Append) && file.write("more") == 4;
                }
            },
            Qt::DirectConnection);
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable(
                QStringLiteral("DigestCalculator: '%1' changed while it was read.").arg(changing)));
        QTest::ignoreMessage(QtWarningMsg,
                             "DigestCalculator: 1 files changed while they were read.");
        QSignalSpy queries(pipeline, &FileScanPipeline::queryRequested);
        QSignalSpy finished(pipeline, &FileScanPipeline::finished);
        QVERIFY(pipeline->start({changing}, FileScanPipeline::FullScan));
        QVERIFY(finished.wait(ScanTimeout));
        QVERIFY(appended);
        QCOMPARE(queries.count(), 0);
        QCOMPARE(pipeline->filesDigested(), qint64(1));
        QSqlQuery rows;
        QVERIFY(rows.exec(QStringLiteral("SELECT path, md5, check_state, status FROM items")));
        QVERIFY(rows.next());
        QCOMPARE(rows.value(0).toString(), changing);
        QVERIFY(rows.value(1).isNull());
        QCOMPARE(rows.value(2).toInt(), 2);
        QCOMPARE(rows.value(3).toString(), QStringLiteral("Changed while it was scanned."));
        QVERIFY(!rows.next());
    }

    // A walk that keeps nothing ends the scan, then says so; nothing is asked.
    void emptyWalkEndsBeforeItSaysSo()
    {
        const QString empty = m_dir->filePath(QStringLiteral("empty"));
        QVERIFY(QDir().mkpath(empty));
        QStringList order;
        connect(m_pipeline.get(), &FileScanPipeline::finished, this, [&] { order << "finished"; });
        connect(m_pipeline.get(), &FileScanPipeline::emptyScan, this, [&] { order << "empty"; });
        QSignalSpy queries(m_pipeline.get(), &FileScanPipeline::queryRequested);
        QVERIFY(m_pipeline->start({empty}, FileScanPipeline::FullScan));
        QTRY_COMPARE_WITH_TIMEOUT(order, QStringList({"finished", "empty"}), ScanTimeout);
        QCOMPARE(queries.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestFileScanPipeline)
#include "tst_filescanpipeline.moc"
