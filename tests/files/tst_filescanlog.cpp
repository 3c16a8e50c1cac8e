#include "files/drivescanner.h"
#include "files/filescanlog.h"
#include "files/sqlmodel.h"
#include "platform/clock.h"
#include "platform/filename.h"
#include "testenvironment.h"

#include <QApplication>
#include <QtSql>
#include <QtTest>

#include <sys/stat.h>

namespace {
const QStringList QuickExtensions{"exe", "dll", "sys", "drv", ".ax", "ime",
                                  "zip", "cab", "com", "scr", "pif", "pdf"};

// Everything the log emits, in emission order.
struct Emissions
{
    QStringList order;
    QString summary;
    int statistics = -1;
    QPixmap icon;
    bool iconSeen = false;

    void watch(FileScanLog *log)
    {
        QObject::connect(log, &FileScanLog::scanSummary, log, [this](const QString &text) {
            order << "summary";
            summary = text;
        });
        QObject::connect(log, &FileScanLog::scanStatistics, log, [this](int count) {
            order << "statistics";
            statistics = count;
        });
        QObject::connect(log, &FileScanLog::scanIcon, log, [this](QPixmap &pixmap) {
            order << "icon";
            icon = pixmap;
            iconSeen = true;
        });
    }
};

QVariantList scanLogRow(int id)
{
    QSqlQuery query;
    query.exec(QStringLiteral("SELECT start_time_t, end_time_t, scan_type, files_checked, "
                              "malicious_files_found, aborted FROM scan_log WHERE id = %1")
                   .arg(id));
    QVariantList row;
    if (query.next()) {
        for (int i = 0; i < 6; ++i)
            row.append(query.isNull(i) ? QVariant() : query.value(i));
    }
    return row;
}
} // namespace

class TestFileScanLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;
    SqlModel *m_model = nullptr;
    DriveScanner *m_scanner = nullptr;
    FileScanLog *m_log = nullptr;
    Emissions *m_seen = nullptr;
    QElapsedTimer m_realTime;
    int m_digests = 0;

    QString folder(const QString &name)
    {
        QDir(m_dir->path()).mkpath(name);
        return QDir::toNativeSeparators(m_dir->filePath(name));
    }

    // Rows as the scan adds them: `malicious` of them answered as malware, the
    // others as clean, unless the registry never answered them.
    QList<QString> addRows(int count, int malicious, bool othersAnswered = true)
    {
        QList<QString> paths;
        for (int i = 0; i < count; ++i)
            paths.append(
                QStringLiteral("/scan/%1/file%2.exe").arg(m_realTime.nsecsElapsed()).arg(i));
        m_model->addFiles(paths, 0);
        const int answered = othersAnswered ? count : malicious;
        for (int i = 0; i < answered; ++i) {
            // Digests differ across calls: an answer applies to every row of its digest.
            const QString md5 = QStringLiteral("%1").arg(++m_digests, 32, 16, QLatin1Char('0'));
            QSqlQuery update;
            update.prepare(QStringLiteral("UPDATE items SET md5 = ? WHERE path = ?"));
            update.addBindValue(md5);
            update.addBindValue(paths.at(i));
            if (!update.exec())
                qFatal("cannot give %s a digest", qPrintable(paths.at(i)));
            m_model->setOrvexDataPacked(md5 + (i < malicious ? "|12" : "|0") +
                                        "|2020-01-01 00:00:00");
        }
        return paths;
    }

    void start()
    {
        m_realTime.start();
        m_log->handleScanStarted();
    }

    // The sentence expected after `seconds` of test time, with the duration in
    // place of "{d}"; it may be a second or more longer when the machine itself
    // took that long.
    void compareSummary(const QString &expected, qint64 seconds)
    {
        const auto sentence = [&](qint64 s) {
            return QString(expected).replace(QStringLiteral("{d}"), FileScanLog::durationText(s));
        };
        QString wanted = sentence(seconds);
        for (qint64 extra = 1; m_seen->summary != wanted && extra <= m_realTime.elapsed() / 1000;
             ++extra)
            wanted = sentence(seconds + extra);
        QCOMPARE(m_seen->summary, wanted);
    }

    // A symbolic link that points at itself through a second one: the walk
    // cannot enter it, whoever runs it.
    QString makeLoop(const QString &name)
    {
        const QString loop = m_dir->filePath(name);
        if (!QFile::link(loop + QStringLiteral(".2"), loop) ||
            !QFile::link(loop, loop + QStringLiteral(".2")))
            qFatal("cannot make the link loop %s", qPrintable(loop));
        return loop;
    }

    // A folder whose name is not UTF-8, in its lossless form.
    QString makeRawFolder(const QByteArray &name)
    {
        const QByteArray path = QFile::encodeName(m_dir->path()) + '/' + name;
        if (::mkdir(path.constData(), 0755) != 0)
            qFatal("cannot make a folder");
        return FileName::fromBytes(path);
    }

    // The real walk over the items, so that the scanner knows what it could
    // not read; the scan log's start comes first, as in a scan.
    bool walk(const QList<QString> &items)
    {
        m_scanner->setDrives(items);
        start();
        QSignalSpy finished(m_scanner, &DriveScanner::scanFinished);
        m_scanner->start();
        return finished.wait(20000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void init()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(db.open());
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        m_model = new SqlModel;
        m_scanner = new DriveScanner;
        m_log = new FileScanLog;
        m_log->setFileModel(m_model);
        m_log->setDriveScanner(m_scanner);
        m_seen = new Emissions;
        m_seen->watch(m_log);
    }

    void cleanup()
    {
        delete m_log;
        delete m_scanner;
        delete m_model;
        delete m_seen;
        delete m_dir;
        m_log = nullptr;
        m_scanner = nullptr;
        m_model = nullptr;
        m_seen = nullptr;
        m_dir = nullptr;
        QSqlDatabase::database().close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
        Clock::resetTestSeam();
    }

    void createsTheDesignedTable()
    {
        QSqlQuery query;
        QVERIFY(query.exec("SELECT sql FROM sqlite_master WHERE name = 'scan_log'"));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(),
                 QStringLiteral("CREATE TABLE scan_log (id INTEGER PRIMARY KEY,start_time_t "
                                "INTEGER,end_time_t INTEGER,scan_type INTEGER,files_checked "
                                "INTEGER,malicious_files_found INTEGER,aborted INTEGER)"));
        QCOMPARE(m_log->tableName(), QStringLiteral("scan_log"));
        QCOMPARE(m_log->editStrategy(), QSqlTableModel::OnFieldChange);
    }

    void eachStartAddsARowWithItsStartTime()
    {
        Clock::advanceTestTime(1000000);
        const qint64 before = Clock::currentSecsSinceEpoch();
        m_log->handleScanStarted();
        const qint64 after = Clock::currentSecsSinceEpoch();
        m_log->handleScanStarted();
        const QVariantList first = scanLogRow(1);
        QCOMPARE(first.size(), 6);
        QVERIFY(first.at(0).toLongLong() >= before && first.at(0).toLongLong() <= after);
        for (int i = 1; i < 6; ++i)
            QVERIFY(first.at(i).isNull());
        QCOMPARE(scanLogRow(2).size(), 6);
        m_log->handleScanFinished(); // the end leaves the rows as they are
        QVERIFY(scanLogRow(1).at(1).isNull());
    }

    void durationText_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("none") << qint64(0) << "0 seconds";
        QTest::newRow("one second") << qint64(1) << "1 second";
        QTest::newRow("59 seconds") << qint64(59) << "59 seconds";
        QTest::newRow("61 seconds") << qint64(61) << "1 minute, 1 second";
        QTest::newRow("two minutes") << qint64(120) << "2 minutes";
        QTest::newRow("one hour") << qint64(3600) << "1 hour";
        QTest::newRow("hour and seconds") << qint64(3605) << "1 hour, 5 seconds";
        QTest::newRow("one of each") << qint64(90061) << "1 day, 1 hour, 1 minute, 1 second";
        QTest::newRow("days and hours") << qint64(2 * 86400 + 2 * 3600) << "2 days, 2 hours";
        QTest::newRow("a long scan") << qint64(400 * 86400 + 23 * 3600 + 59 * 60 + 59)
                                     << "400 days, 23 hours, 59 minutes, 59 seconds";
    }

    void durationText()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        QCOMPARE(FileScanLog::durationText(seconds), text);
    }

    void quickScanOfTheSystemDrive_data()
    {
        // Whether "/" is the root of a mounted volume depends on the machine: in
        // a chroot or a container built from a folder it is not.
        QTest::addColumn<bool>("mountPoint");
        QTest::addColumn<QString>("target");
        QTest::newRow("mount point") << true << "the root directory \"/\"";
        QTest::newRow("not a mount point") << false << "the directory \"/\"";
    }
    void quickScanOfTheSystemDrive()
    {
        QFETCH(bool, mountPoint);
        QFETCH(QString, target);
        QStringList asked;
        m_log->setVolumeRootTest([&asked, mountPoint](const QString &folder) {
            asked << folder;
            return mountPoint;
        });
        m_scanner->setDrives({QStringLiteral("/")});
        m_scanner->setExtensions(QuickExtensions);
        addRows(3, 1); // rows from an earlier scan do not count
        start();
        Clock::advanceTestTime(61);
        addRows(1234, 2);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^\\[SCAN TIMING\\] The Quick Scan"));
        m_log->handleScanFinished();
        compareSummary(QStringLiteral("The Quick Scan of %1 took {d} and found 2 malicious files "
                                      "of the 1,234 scanned.")
                           .arg(target),
                       61);
        QVERIFY(asked.contains(QStringLiteral("/")));
        QCOMPARE(m_seen->statistics, 2);
        QCOMPARE(m_seen->order, (QStringList{"summary", "statistics", "icon"}));
    }

    void rootWordingFollowsThisMachinesMountTable()
    {
        // The mount table of this process, read apart from the code under test.
        QFile mountInfo(QStringLiteral("/proc/self/mountinfo"));
        if (!mountInfo.open(QIODevice::ReadOnly))
            QSKIP("no /proc/self/mountinfo here, so no mount table to compare with");
        bool rootMounted = false;
        for (const QByteArray &line : mountInfo.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            rootMounted = rootMounted || (fields.size() > 4 && fields.at(4) == "/");
        }
        if (!rootMounted)
            QSKIP("\"/\" is not a mount point here (a chroot?); both wordings are checked in "
                  "quickScanOfTheSystemDrive");
        m_scanner->setDrives({QStringLiteral("/")});
        start();
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^\\[SCAN TIMING\\] "));
        m_log->handleScanFinished();
        QVERIFY2(m_seen->summary.startsWith(
                     QStringLiteral("The Full Scan of the root directory \"/\" took ")),
                 qPrintable(m_seen->summary));
    }

    void oneMaliciousFileIsSingular()
    {
        const QString target = folder(QStringLiteral("downloads"));
        m_scanner->setDrives({target});
        start();
        Clock::advanceTestTime(120);
        addRows(1, 1);
        m_log->handleScanFinished();
        compareSummary(QStringLiteral("The Full Scan of the directory \"%1\" took {d} and found 1 "
                                      "malicious file of the 1 scanned.")
                           .arg(target),
                       120);
        QCOMPARE(m_seen->statistics, 1);
    }

    void singleDroppedFile_data()
    {
        QTest::addColumn<int>("malicious");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("unchecked");
        QTest::newRow("clean") << 0 << "is <b>not </b>malicious"
                               << "";
        QTest::newRow("malware") << 1 << "is <b></b>malicious"
                                 << "";
        // Nothing is known of a file that was not checked: it is not "not malicious".
        QTest::newRow("unreadable") << 0 << "<b>could not be checked</b>"
                                    << "unreadable";
        QTest::newRow("never answered") << 0 << "<b>could not be checked</b>"
                                        << "unanswered";
        // An answered row of an earlier scan says nothing of this one.
        QTest::newRow("answered before, unreadable now") << 0 << "<b>could not be checked</b>"
                                                         << "answered before";
    }

    void singleDroppedFile()
    {
        QFETCH(int, malicious);
        QFETCH(QString, verdict);
        QFETCH(QString, unchecked);
        const QString file = m_dir->filePath(QStringLiteral("setup.exe"));
        QFile(file).open(QIODevice::WriteOnly);
        m_scanner->setDrives({file});
        if (unchecked == QLatin1String("answered before"))
            addRows(1, 0);
        start();
        if (unchecked.isEmpty()) {
            addRows(1, malicious);
        } else if (unchecked == QLatin1String("unanswered")) {
            addRows(1, 0, false);
        } else {
            const QList<QString> rows = addRows(1, 0, false);
            m_model->setUnableToOpenFile(rows.first());
        }
        m_log->handleScanFinished();
        compareSummary(QStringLiteral("The scan of \"setup.exe\" took {d} and it ") + verdict + ".",
                       0);
        QCOMPARE(m_seen->statistics, malicious);
    }

    void stoppedFullScanOfOneFolder()
    {
        const QString target = folder(QStringLiteral("projects"));
        m_scanner->setDrives({target});
        start();
        Clock::advanceTestTime(3600);
        addRows(40, 0);
        m_log->handleScanAborted();
        compareSummary(
            QStringLiteral("The Full Scan of the directory \"%1\" was aborted after {d}.")
                .arg(target),
            3600);
        QCOMPARE(m_seen->statistics, 0);
    }

    void targets_data()
    {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QString>("target");
        QTest::newRow("two folders") << QStringList{"a", "b"} << "the 2 directories";
        QTest::newRow("folder and file") << QStringList{"a", "f1.exe"} << "the directory \"%1\"";
        QTest::newRow("two files") << QStringList{"f1.exe", "f2.exe"} << "2 files";
        QTest::newRow("missing items") << QStringList{"gone1", "gone2", "gone3"} << "3 files";
        QTest::newRow("nothing") << QStringList{} << "(unknown)";
    }

    void targets()
    {
        QFETCH(QStringList, items);
        QFETCH(QString, target);
        folder(QStringLiteral("a"));
        folder(QStringLiteral("b"));
        QFile(m_dir->filePath(QStringLiteral("f1.exe"))).open(QIODevice::WriteOnly);
        QFile(m_dir->filePath(QStringLiteral("f2.exe"))).open(QIODevice::WriteOnly);
        QStringList paths;
        for (const QString &item : std::as_const(items))
            paths.append(m_dir->filePath(item));
        m_scanner->setDrives(paths);
        start();
        m_log->handleScanAborted();
        if (target.contains(QLatin1String("%1")))
            target = target.arg(QDir::toNativeSeparators(m_dir->filePath(QStringLiteral("a"))));
        compareSummary(QStringLiteral("The Full Scan of ") + target + " was aborted after {d}.", 0);
    }

    void pathsWithPlaceholdersStayIntact()
    {
        const QString target = folder(QStringLiteral("%2 and %1 <b>"));
        m_scanner->setDrives({target});
        start();
        addRows(2, 0);
        m_log->handleScanFinished();
        compareSummary(QStringLiteral("The Full Scan of the directory \"") + target +
                           "\" took {d} and found 0 malicious files of the 2 scanned.",
                       0);
    }

    // Folders the walk could not read are counted at the end of the sentence and
    // each is named in the log.
    void unreadableFoldersAreCounted_data()
    {
        QTest::addColumn<int>("loops");
        QTest::addColumn<QString>("ending");
        QTest::newRow("every folder read") << 0 << "";
        QTest::newRow("one folder unreadable") << 1 << " 1 folder could not be read.";
        QTest::newRow("two folders unreadable") << 2 << " 2 folders could not be read.";
    }

    void unreadableFoldersAreCounted()
    {
        QFETCH(int, loops);
        QFETCH(QString, ending);
        const QString target = folder(QStringLiteral("scanned"));
        QList<QString> items{target};
        for (int i = 0; i < loops; ++i) {
            items.append(makeLoop(QStringLiteral("loop%1").arg(i)));
            // Once for the end and once for the stop below.
            for (int told = 0; told < 2; ++told)
                QTest::ignoreMessage(QtWarningMsg,
                                     qPrintable(QStringLiteral("FileScanLog::summarise() could not "
                                                               "read '%1': Too many levels of "
                                                               "symbolic links")
                                                    .arg(items.last())));
        }
        QVERIFY(walk(items));
        addRows(2, 0);
        m_log->handleScanFinished();
        compareSummary(QStringLiteral("The Full Scan of the directory \"%1\" took {d} and found 0 "
                                      "malicious files of the 2 scanned.")
                               .arg(target) +
                           ending,
                       0);
        // A stopped scan counts them too.
        m_log->handleScanAborted();
        QVERIFY2(m_seen->summary.endsWith(QLatin1String(" was aborted after 0 seconds.") + ending),
                 qPrintable(m_seen->summary));
    }

    void namesThatAreNotTextAreShownReadably()
    {
        const QString raw = makeRawFolder("caf\xe9");
        QVERIFY(walk({raw}));
        m_log->handleScanFinished();
        QVERIFY2(m_seen->summary.startsWith(QStringLiteral("The Full Scan of the directory \"%1/"
                                                           "caf\\xe9\" took ")
                                                .arg(m_dir->path())),
                 qPrintable(m_seen->summary));
    }

    // What a scan that kept no file says: its empty folders, and the items it
    // could not read at all (not "empty": never seen into) unless the caller
    // has named those already.
    void emptyScanText_data()
    {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<bool>("quick");
        QTest::addColumn<QString>("withUnreadable");
        QTest::addColumn<QString>("withoutUnreadable");
        const QString empty = QStringLiteral("The directory '{empty}' doesn't contain any files.");
        const QString unreadable = QStringLiteral(
            "The directory '{loop}' could not be read: Too many levels of symbolic links.");
        QTest::newRow("empty folder") << QStringList{"empty"} << false << empty << empty;
        QTest::newRow("two empty folders")
            << QStringList{"empty", "void"} << false
            << "The directories '{empty}, {void}' don't contain any files."
            << "The directories '{empty}, {void}' don't contain any files.";
        QTest::newRow("quick scan")
            << QStringList{"empty"} << true
            << "The Quick Scan of '{empty}' didn't find any interesting files.\n\nA Quick Scan "
               "may not scan all files on a drive.\nPlease run a Full Scan to scan every file on "
               "a drive."
            << "The Quick Scan of '{empty}' didn't find any interesting files.\n\nA Quick Scan "
               "may not scan all files on a drive.\nPlease run a Full Scan to scan every file on "
               "a drive.";
        QTest::newRow("unreadable item") << QStringList{"loop"} << false << unreadable << "";
        QTest::newRow("empty and unreadable")
            << QStringList{"empty", "loop"} << false << empty + "\n\n" + unreadable << empty;
        QTest::newRow("name that is not text")
            << QStringList{"raw"} << false << "The directory '{raw}' doesn't contain any files."
            << "The directory '{raw}' doesn't contain any files.";
    }

    void emptyScanText()
    {
        QFETCH(QStringList, items);
        QFETCH(bool, quick);
        QFETCH(QString, withUnreadable);
        QFETCH(QString, withoutUnreadable);
        QList<QString> paths;
        for (const QString &item : std::as_const(items)) {
            QString path;
            if (item == QLatin1String("loop"))
                path = makeLoop(item);
            else if (item == QLatin1String("raw"))
                path = makeRawFolder("caf\xe9");
            else
                path = folder(item);
            paths.append(path);
            const QString shown =
                item == QLatin1String("raw") ? m_dir->path() + QStringLiteral("/caf\\xe9") : path;
            withUnreadable.replace(u'{' + item + u'}', shown);
            withoutUnreadable.replace(u'{' + item + u'}', shown);
        }
        if (quick)
            m_scanner->setExtensions(QuickExtensions);
        QVERIFY(walk(paths));
        QCOMPARE(m_log->emptyScanText(true), withUnreadable);
        QCOMPARE(m_log->emptyScanText(false), withoutUnreadable);
    }

    void clockSetBackGivesNoNegativeDuration()
    {
        m_scanner->setDrives({folder(QStringLiteral("x"))});
        start();
        Clock::advanceTestTime(-7200);
        m_log->handleScanAborted();
        QVERIFY2(m_seen->summary.endsWith(QLatin1String("was aborted after 0 seconds.")),
                 qPrintable(m_seen->summary));
    }

    void withoutModelOrScannerTheSentenceStillForms()
    {
        // A second log on the same database finds its table there already.
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^SQL ERROR for query \\[CREATE TABLE scan_log "
                                                ".*\\]: 'table scan_log already exists"));
        FileScanLog bare;
        Emissions seen;
        seen.watch(&bare);
        bare.handleScanStarted();
        bare.handleScanFinished();
        QCOMPARE(seen.summary, QStringLiteral("The Full Scan of (unknown) took 0 seconds and found "
                                              "0 malicious files of the 0 scanned."));
        QVERIFY(seen.icon.isNull());
    }

    void iconOfTheScannedFolder()
    {
        const QString target = folder(QStringLiteral("icons"));
        m_scanner->setDrives({target});
        start();
        QTest::ignoreMessage(
            QtDebugMsg,
            qPrintable(QStringLiteral("FileScanLog::systemIconFromFile( %1 ) called").arg(target)));
        m_log->handleScanFinished();
        QVERIFY(m_seen->iconSeen);
        QVERIFY(!m_seen->icon.isNull());
        QCOMPARE(m_seen->icon.size(), QSize(16, 16));
    }

    void iconOfAScanWithoutItemsIsNull()
    {
        start();
        m_log->handleScanFinished();
        QVERIFY(m_seen->iconSeen);
        QVERIFY(m_seen->icon.isNull());
    }

    void headlessScanHasNoIcon()
    {
        // A command-line scan runs without a GUI application: no pixmap may be made.
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("-headless"), folder(QStringLiteral("headless"))});
        QVERIFY(child.waitForFinished(20000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        const QByteArray output = child.readAllStandardOutput();
        QVERIFY2(output.startsWith("null icon: The Full Scan of the directory"),
                 output.constData());
        QVERIFY(!child.readAllStandardError().contains("systemIconFromFile"));
    }
};

// Run as "-headless <folder>": a scan summary under QCoreApplication.
static int headlessScan(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    if (!db.open())
        return 2;
    SqlModel model;
    DriveScanner scanner;
    scanner.setDrives({QString::fromLocal8Bit(argv[2])});
    FileScanLog log;
    log.setFileModel(&model);
    log.setDriveScanner(&scanner);
    Emissions seen;
    seen.watch(&log);
    log.handleScanStarted();
    log.handleScanFinished();
    QTextStream(stdout) << (seen.icon.isNull() ? "null icon: " : "icon: ") << seen.summary;
    return seen.iconSeen ? 0 : 3;
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "-headless") == 0)
        return headlessScan(argc, argv);
    QApplication app(argc, argv);
    TestFileScanLog test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filescanlog.moc"
