#include "files/dataexporter.h"
#include "files/sqlmodel.h"
#include "platform/clock.h"
#include "platform/filename.h"
#include "testenvironment.h"

#include <QApplication>
#include <QFontDatabase>
#include <QtSql>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {
const QString Sha1A = QStringLiteral("a9993e364706816aba3e25717850c26c9cd0d89d");
const QString Md5A = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
const QString Sha1B = QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709");
const QString Md5B = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");

QString md5Number(int n)
{
    return QStringLiteral("%1").arg(n, 32, 16, QLatin1Char('0'));
}

QString sha1Number(int n)
{
    return QStringLiteral("%1").arg(n, 40, 16, QLatin1Char('0'));
}

QList<QVariantList> tableRows(const QString &sql)
{
    QSqlQuery query;
    if (!query.exec(sql))
        qFatal("test query failed: %s", qPrintable(query.lastError().text()));
    QList<QVariantList> rows;
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < query.record().count(); ++i)
            row.append(query.isNull(i) ? QVariant() : query.value(i));
        rows.append(row);
    }
    return rows;
}

QVariant tableValue(const QString &sql)
{
    const QList<QVariantList> rows = tableRows(sql);
    return rows.isEmpty() ? QVariant() : rows.first().value(0);
}

void runSql(const QString &sql)
{
    QSqlQuery query;
    if (!query.exec(sql))
        qFatal("test statement failed: %s", qPrintable(query.lastError().text()));
}

// Answers the save dialog with a fixed file and format.
class ScriptedExporter : public DataExporter
{
public:
    QString fileName;
    int type = CommaSeparated;
    QString failedFile;

protected:
    QString askForFileName(const QString &, const QString &, QString *selectedFilter) override
    {
        *selectedFilter = formatFilters().value(type - 1);
        return fileName;
    }
    void showOpenFailure(const QString &name) override { failedFile = name; }
};
} // namespace

class TestSqlModel : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;
    SqlModel *m_model = nullptr;

    // A real file of the given size in the test folder; its native path.
    QString makeFile(const QString &name, qint64 size = 0)
    {
        const QString path = m_dir->filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot create %s", qPrintable(path));
        file.write(QByteArray(size, 'x'));
        return QDir::toNativeSeparators(path);
    }

    // Adds the file and gives it a digest and a registry answer.
    QString addAnswered(const QString &name, const QString &md5, const QString &sha1, int rate)
    {
        const QString path = makeFile(name);
        m_model->addFile(path, 1);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(path, sha1, md5));
        m_model->setOrvexDataPacked(QStringLiteral("%1|%2|2024-01-02 03:04:05").arg(md5).arg(rate));
        return path;
    }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void init()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(db.open());
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        m_model = new SqlModel;
    }

    void cleanup()
    {
        delete m_model;
        m_model = nullptr;
        delete m_dir;
        m_dir = nullptr;
        QSqlDatabase::database().close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
        Clock::resetTestSeam();
    }

    void createsTheDesignedTableAndIndexes()
    {
        QCOMPARE(tableValue("SELECT sql FROM sqlite_master WHERE name = 'items'").toString(),
                 QStringLiteral(
                     "CREATE TABLE items (id INTEGER PRIMARY KEY,name TEXT COLLATE NOCASE,path "
                     "TEXT COLLATE NOCASE,md5 TEXT COLLATE NOCASE,sha1 TEXT COLLATE NOCASE,size "
                     "TEXT,detection_rate INTEGER,bytes INTEGER,scan_type INTEGER,last_seen "
                     "TEXT,scan_time TEXT,check_state INTEGER,status INTEGER)"));
        QCOMPARE(tableValue("SELECT sql FROM sqlite_master WHERE name = 'idx_md5'").toString(),
                 QStringLiteral("CREATE INDEX idx_md5 ON items( md5 )"));
        QCOMPARE(tableValue("SELECT sql FROM sqlite_master WHERE name = 'idx_path'").toString(),
                 QStringLiteral("CREATE INDEX idx_path ON items( path )"));
    }

    void columnsAndHeadersFollowColumnNames()
    {
        const QStringList columns{"check_state", "detection_rate", "last_seen", "md5",  "name",
                                  "path",        "scan_time",      "sha1",      "size", "status"};
        const QStringList headers{"Check State", "Detection Rate", "Last Seen", "MD5",  "Name",
                                  "Path",        "Time Scanned",   "SHA-1",     "Size", "Status"};
        QCOMPARE(m_model->columnCount(), 10);
        for (int section = 0; section < 10; ++section) {
            QCOMPARE(m_model->columnName(section), columns.at(section));
            QCOMPARE(m_model->headerData(section, Qt::Horizontal).toString(), headers.at(section));
        }
        QCOMPARE(m_model->columnName(10), QString());
        QCOMPARE(m_model->columnName(-1), QString());
    }

    void selectStatementAddsFilterAndOrder()
    {
        const QString base = QStringLiteral("SELECT check_state, detection_rate, last_seen, md5, "
                                            "name, path, scan_time, sha1, size, status FROM items");
        QCOMPARE(m_model->selectStatement(), base);
        m_model->setOrderByClause(QStringLiteral(" ORDER BY bytes DESC"));
        QTest::ignoreMessage(QtDebugMsg, "order by is:  ORDER BY bytes DESC");
        QCOMPARE(m_model->selectStatement(), base + " ORDER BY bytes DESC");
        m_model->setFilter(QStringLiteral("scan_type = 0"));
        QCOMPARE(m_model->selectStatement(), base + " WHERE scan_type = 0 ORDER BY bytes DESC");
    }

    void addFileStoresTheFileFacts()
    {
        const QString path = makeFile(QStringLiteral("tool.exe"), 1536);
        m_model->addFile(path, 0);
        const QList<QVariantList> rows =
            tableRows("SELECT name, path, size, bytes, scan_type, md5, sha1, detection_rate, "
                      "check_state, status FROM items");
        QCOMPARE(rows.size(), 1);
        const QVariantList row = rows.first();
        QCOMPARE(row.at(0).toString(), QStringLiteral("tool.exe"));
        QCOMPARE(row.at(1).toString(), path);
        QCOMPARE(row.at(2).toString(),
                 QLocale::system().formattedDataSize(1536, 2, QLocale::DataSizeTraditionalFormat));
        QCOMPARE(row.at(3).toLongLong(), 1536);
        QCOMPARE(row.at(4).toInt(), 0);
        for (int i = 5; i < row.size(); ++i)
            QVERIFY2(row.at(i).isNull(), qPrintable(QString::number(i)));
        // No re-select: the view sees the row at its next select.
        QCOMPARE(m_model->rowCount(), 0);
        m_model->select();
        QCOMPARE(m_model->rowCount(), 1);
    }

    void addFileMakesRelativePathsAbsolute()
    {
        makeFile(QStringLiteral("relative.dll"), 3);
        const QString saved = QDir::currentPath();
        QDir::setCurrent(m_dir->path());
        m_model->addFile(QStringLiteral("relative.dll"), 1);
        QDir::setCurrent(saved);
        QCOMPARE(tableValue("SELECT path FROM items").toString(),
                 QDir::toNativeSeparators(m_dir->filePath(QStringLiteral("relative.dll"))));
    }

    void unreadableSizeIsUnknown()
    {
        const QString missing = m_dir->filePath(QStringLiteral("gone.exe"));
        m_model->addFile(missing, 1);
        QCOMPARE(tableRows("SELECT size, bytes FROM items").value(0),
                 (QVariantList{QStringLiteral("unknown size"), 0}));
    }

    void sizeBehindAFolderWithoutSearchPermissionIsUnknown()
    {
        // Root enters any folder, so an unprivileged child adds the rows; the
        // open file beside the locked folder shows that the child can read sizes.
        const auto ownerAll =
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        QVERIFY(QFile::setPermissions(m_dir->path(), ownerAll | QFileDevice::ExeOther));
        const QString open = makeFile(QStringLiteral("open.exe"), 10);
        QVERIFY(QFile::setPermissions(open, QFileDevice::ReadOwner | QFileDevice::ReadOther));
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("locked")));
        const QString locked = makeFile(QStringLiteral("locked/inside.exe"), 10);
        const QString lockedDir = m_dir->filePath(QStringLiteral("locked"));
        QVERIFY(QFile::setPermissions(lockedDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                     QFileDevice::ReadOther));
        const auto restore = qScopeGuard([&] { QFile::setPermissions(lockedDir, ownerAll); });

        QProcess child;
        QStringList arguments{QCoreApplication::applicationFilePath(),
                              QStringLiteral("-child-sizes"), open, locked};
        if (::geteuid() == 0) {
            arguments.prepend(QStringLiteral("--clear-groups"));
            arguments.prepend(QStringLiteral("--regid=65534"));
            arguments.prepend(QStringLiteral("--reuid=65534"));
            child.start(QStringLiteral("setpriv"), arguments);
        } else {
            child.start(arguments.takeFirst(), arguments);
        }
        QVERIFY(child.waitForFinished(20000));
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts),
                 (QStringList{SqlModel::sizeText(10), QStringLiteral("unknown size")}));
    }

    void sizeTextFollowsTheLocale()
    {
        QCOMPARE(SqlModel::sizeText(-1), QStringLiteral("unknown size"));
        QCOMPARE(SqlModel::sizeText(0),
                 QLocale::system().formattedDataSize(0, 2, QLocale::DataSizeTraditionalFormat));
        QCOMPARE(
            SqlModel::sizeText(5LL << 30),
            QLocale::system().formattedDataSize(5LL << 30, 2, QLocale::DataSizeTraditionalFormat));
    }

    void addFilesKeepsTheirOrderAndDuplicates()
    {
        const QString a = makeFile(QStringLiteral("a.exe"));
        const QString b = makeFile(QStringLiteral("b.exe"));
        m_model->addFiles({b, a, b}, 1);
        QCOMPARE(tableRows("SELECT path, scan_type FROM items ORDER BY id"),
                 (QList<QVariantList>{{b, 1}, {a, 1}, {b, 1}}));
    }

    void manyFilesAreStoredAsOneByOne()
    {
        // Two hundred and fifty files go in as statements of a hundred rows and
        // fifty single ones; each row must be what addFile() stores.
        QList<QString> paths;
        for (int i = 0; i < 250; ++i) {
            const QString path = m_dir->filePath(QStringLiteral("many%1.exe").arg(i));
            if (i != 120) {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(QByteArray(i * 37, 'x'));
            }
            paths << path;
        }
        paths << paths.at(7); // the same file twice
        m_model->addFiles(paths, 0);
        for (const QString &path : std::as_const(paths))
            m_model->addFile(path, 0);
        const QList<QVariantList> rows =
            tableRows("SELECT name, path, size, bytes, scan_type FROM items ORDER BY id");
        QCOMPARE(rows.size(), 2 * paths.size());
        QCOMPARE(rows.mid(0, paths.size()), rows.mid(paths.size()));
        QCOMPARE(rows.at(250).at(1).toString(), paths.at(7));
        QCOMPARE(rows.at(120).at(2).toString(), QStringLiteral("unknown size"));
    }

    void sizesReadByTheWalkAreStoredAsGiven()
    {
        // A measured size is taken as it is (here one that differs from the
        // file on purpose); an unmeasured one is read from the file.
        QList<QString> paths;
        QList<qint64> sizes;
        for (int i = 0; i < 103; ++i) {
            paths << makeFile(QStringLiteral("sized%1.exe").arg(i), 10);
            sizes << (i % 3 == 0 ? SqlModel::NotMeasured : i == 1 ? -1 : 2048 + i);
        }
        m_model->addFiles(paths, 1, sizes);
        const QList<QVariantList> rows = tableRows("SELECT bytes, size FROM items ORDER BY id");
        QCOMPARE(rows.size(), paths.size());
        for (int i = 0; i < rows.size(); ++i) {
            const qint64 expected = i % 3 == 0 ? 10 : i == 1 ? -1 : 2048 + i;
            QCOMPARE(rows.at(i).at(0).toLongLong(), qMax<qint64>(expected, 0));
            QCOMPARE(rows.at(i).at(1).toString(), SqlModel::sizeText(expected));
        }
    }

    void addFilesJoinsATransactionAlreadyOpen()
    {
        QSqlDatabase db = QSqlDatabase::database();
        QVERIFY(db.transaction());
        m_model->addFiles({makeFile("a.exe"), makeFile("b.exe")}, 0);
        QCOMPARE(m_model->fileCount(), 2);
        QVERIFY(db.rollback());
        QCOMPARE(m_model->fileCount(), 0);
    }

    void digestRecordsFindTheirRow_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << QStringLiteral("plain.exe");
        QTest::newRow("bar") << QStringLiteral("a|b.exe");
        QTest::newRow("bars like a record") << QStringLiteral("x|") + Sha1B + "|" + Md5B;
        QTest::newRow("quotes") << QStringLiteral("say \"hi\" it's.exe");
        QTest::newRow("line break") << QStringLiteral("two\nlines.exe");
        QTest::newRow("percent") << QStringLiteral("100%_done.exe");
    }

    void digestRecordsFindTheirRow()
    {
        QFETCH(QString, name);
        const QString other = makeFile(QStringLiteral("other.exe"));
        const QString path = makeFile(name);
        m_model->addFile(other, 1);
        m_model->addFile(path, 1);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(path, Sha1A, Md5A));
        QCOMPARE(tableRows("SELECT path, sha1, md5 FROM items ORDER BY id"),
                 (QList<QVariantList>{{other, QVariant(), QVariant()}, {path, Sha1A, Md5A}}));
    }

    void digestRecordsCompareLetterCase()
    {
        const QString upper = makeFile(QStringLiteral("File.exe"));
        const QString lower = makeFile(QStringLiteral("file.exe"));
        m_model->addFile(upper, 1);
        m_model->addFile(lower, 1);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(lower, Sha1A, Md5A));
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(upper, Sha1B, Md5B));
        m_model->setUnableToOpenFile(lower);
        QCOMPARE(tableRows("SELECT name, md5, check_state, status FROM items ORDER BY id"),
                 (QList<QVariantList>{{"File.exe", Md5B, QVariant(), QVariant()},
                                      {"file.exe", Md5A, 2, "Unable to open file."}}));
    }

    void stoppedDigestRecordStoresEmptyDigests()
    {
        const QString path = makeFile(QStringLiteral("big.iso"));
        m_model->addFile(path, 1);
        m_model->setDigestData(path + "||");
        QCOMPARE(tableRows("SELECT sha1, md5 FROM items"), (QList<QVariantList>{{"", ""}}));
        QVERIFY(m_model->filesToDigest(10).isEmpty());
    }

    void malformedDigestRecordsChangeNothing_data()
    {
        QTest::addColumn<QString>("record");
        QTest::newRow("one field") << QStringLiteral("/tmp/x.exe");
        QTest::newRow("two fields") << QStringLiteral("/tmp/x.exe|") + Md5A;
        QTest::newRow("leading bar") << QStringLiteral("|") + Md5A;
        QTest::newRow("short sha1") << QStringLiteral("/tmp/x.exe|abc|") + Md5A;
        QTest::newRow("swapped digests") << QStringLiteral("/tmp/x.exe|%1|%2").arg(Md5A, Sha1A);
        QTest::newRow("not hex")
            << QStringLiteral("/tmp/x.exe|%1|%2").arg(Sha1A, QString(32, QLatin1Char('z')));
    }

    void malformedDigestRecordsChangeNothing()
    {
        QFETCH(QString, record);
        m_model->addFile(QStringLiteral("/tmp/x.exe"), 1);
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable(
                QStringLiteral("SqlModel::setDigestData() couldn't unpack '%1'").arg(record)));
        m_model->setDigestData(record);
        QCOMPARE(tableRows("SELECT sha1, md5 FROM items"),
                 (QList<QVariantList>{{QVariant(), QVariant()}}));
    }

    void digestRecordForAnUnknownPathChangesNothing()
    {
        const QString path = makeFile(QStringLiteral("known.exe"));
        m_model->addFile(path, 1);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(path + "x", Sha1A, Md5A));
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(path.toUpper(), Sha1A, Md5A));
        QCOMPARE(tableValue("SELECT COUNT(*) FROM items WHERE md5 ISNULL").toInt(), 1);
    }

    // A name that is not UTF-8 is stored losslessly: its row is found by the
    // digest record, shown with \xNN for the bytes that are not text (as the
    // command line prints it), and found again by the filter in that form.
    void namesThatAreNotUtf8AreShownAndFoundReadably()
    {
        const QByteArray raw = QFile::encodeName(m_dir->path()) + "/caf\xe9\x01.com";
        const int fd = ::open(raw.constData(), O_CREAT | O_WRONLY, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "abc", 3), ssize_t(3));
        ::close(fd);
        const auto removeRaw = qScopeGuard([&] { ::unlink(raw.constData()); });
        const QString path = FileName::fromBytes(raw);
        m_model->addFile(path, 1);
        m_model->addFile(makeFile(QStringLiteral("cafe.com")), 1);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(path, Sha1A, Md5A));
        QCOMPARE(tableRows("SELECT path, bytes, md5 FROM items WHERE md5 NOT NULL"),
                 (QList<QVariantList>{{path, 3, Md5A}}));
        m_model->setUnableToOpenFile(path);
        QCOMPARE(tableValue("SELECT COUNT(*) FROM items WHERE check_state = 2").toInt(), 1);

        const QString shown = m_dir->path() + QStringLiteral("/caf\\xe9\\x01.com");
        m_model->userSetFilter(QStringLiteral("\\xe9\\x01"));
        m_model->fetchAll();
        QCOMPARE(m_model->rowCount(), 1);
        QCOMPARE(m_model->data(m_model->index(0, SqlModel::PathSection)).toString(), shown);
        QCOMPARE(m_model->data(m_model->index(0, SqlModel::NameSection)).toString(),
                 QStringLiteral("caf\\xe9\\x01.com"));
        // What goes back to the system is the stored form.
        QCOMPARE(m_model->rowPath(0), path);
        QCOMPARE(m_model->filePaths({0}), QList<QString>{path});

        m_model->userSetFilter(QStringLiteral("caf"));
        QCOMPARE(m_model->rowCount(), 2);
        m_model->userSetFilter(QStringLiteral("caf\\xe8"));
        QCOMPARE(m_model->rowCount(), 0);
    }

    // The registry never answered the digest: every file holding it is unchecked,
    // and not counted as malware or as clean.
    void unansweredDigestMarksEveryRowOfIt()
    {
        const QString first = makeFile(QStringLiteral("one.exe"));
        const QString second = makeFile(QStringLiteral("two.exe"));
        const QString other = makeFile(QStringLiteral("three.exe"));
        m_model->addFiles({first, second, other}, 1);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(first, Sha1A, Md5A));
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(second, Sha1A, Md5A));
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(other, Sha1B, Md5B));
        m_model->setUnableToCheck(Md5A);
        const QString unable = QStringLiteral("Unable to check against malware database.");
        QCOMPARE(tableRows("SELECT path, detection_rate, check_state, status FROM items "
                           "ORDER BY id"),
                 (QList<QVariantList>{{first, QVariant(), 2, unable},
                                      {second, QVariant(), 2, unable},
                                      {other, QVariant(), QVariant(), QVariant()}}));
        QCOMPARE(m_model->maliciousEntryCount(), 0);
    }

    // A file the digest worker left without a digest is not checked, and its
    // row says why; a file whose name differs only in letter case keeps its own row.
    void filesWithoutDigestSayWhy_data()
    {
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("status");
        QTest::newRow("unreadable") << "unreadable"
                                    << "Unable to open file.";
        QTest::newRow("skipped") << "skipped"
                                 << "Skipped: On a pseudo file system (proc).";
        QTest::newRow("changed while read") << "changed"
                                            << "Changed while it was scanned.";
    }

    void filesWithoutDigestSayWhy()
    {
        QFETCH(QString, outcome);
        QFETCH(QString, status);
        const QString file = makeFile(QStringLiteral("file.bin"));
        const QString twin = makeFile(QStringLiteral("File.bin"));
        m_model->addFiles({file, twin}, 1);
        if (outcome == QLatin1String("unreadable"))
            m_model->setUnableToOpenFile(file);
        else if (outcome == QLatin1String("skipped"))
            m_model->setFileSkipped(file, QStringLiteral("On a pseudo file system (proc)"));
        else
            m_model->setFileChangedWhileRead(file);
        QCOMPARE(tableRows("SELECT path, md5, detection_rate, check_state, status FROM items "
                           "ORDER BY id"),
                 (QList<QVariantList>{{file, QVariant(), QVariant(), 2, status},
                                      {twin, QVariant(), QVariant(), QVariant(), QVariant()}}));
        m_model->select();
        QCOMPARE(m_model->rowCheckState(0), 2);
        QVERIFY(!m_model->isRowMalicious(0));
        QCOMPARE(m_model->data(m_model->index(0, SqlModel::StatusSection)).toString(), status);
        QCOMPARE(m_model->data(m_model->index(0, SqlModel::NameSection), Qt::BackgroundRole),
                 QVariant(QColor(Qt::darkGray)));
        QCOMPARE(m_model->maliciousEntryCount(), 0);
    }

    void answerUpdatesEveryRowOfTheDigest()
    {
        const QString first = makeFile(QStringLiteral("one.exe"));
        const QString second = makeFile(QStringLiteral("two.exe"));
        const QString other = makeFile(QStringLiteral("three.exe"));
        m_model->addFiles({first, second, first, other}, 1);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(first, Sha1A, Md5A));
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(second, Sha1A, Md5A));
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(other, Sha1B, Md5B));

        Clock::advanceTestTime(3 * 86400);
        const QDateTime now = Clock::currentDateTime();
        QSignalSpy found(m_model, &SqlModel::malwareFound);
        m_model->setOrvexDataPacked(QStringLiteral("%1|45|2010-06-01 14:03:59").arg(Md5A));
        QCOMPARE(found.count(), 1);
        QCOMPARE(found.first().first().toString(), first);

        const QList<QVariantList> rows =
            tableRows("SELECT detection_rate, last_seen, check_state, status, scan_time FROM items "
                      "ORDER BY id");
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(rows.at(i).mid(0, 4),
                     (QVariantList{45, "2010-06-01 14:03:59", 4, "Malware detected."}));
            const QDateTime stamped = QDateTime::fromString(rows.at(i).at(4).toString(),
                                                            QStringLiteral("M/d/yyyy h:mm AP"));
            QVERIFY2(stamped.isValid(), qPrintable(rows.at(i).at(4).toString()));
            QVERIFY(qAbs(stamped.secsTo(now)) <= 120);
        }
        QCOMPARE(rows.at(3),
                 (QVariantList{QVariant(), QVariant(), QVariant(), QVariant(), QVariant()}));
        QCOMPARE(m_model->maliciousEntryCount(), 3);
    }

    void answerStatusFollowsTheRate_data()
    {
        QTest::addColumn<QString>("rate");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("malware");
        QTest::newRow("no data") << "-1" << QVariant(-1) << "Not detected as malware." << false;
        QTest::newRow("clean") << "0" << QVariant(0) << "Not detected as malware." << false;
        QTest::newRow("one") << "1" << QVariant(1) << "Malware detected." << true;
        QTest::newRow("decimal") << "2.5" << QVariant(2.5) << "Malware detected." << true;
        QTest::newRow("decimal below one")
            << "0.9" << QVariant(0.9) << "Not detected as malware." << false;
    }

    void answerStatusFollowsTheRate()
    {
        QFETCH(QString, rate);
        QFETCH(QVariant, stored);
        QFETCH(QString, status);
        QFETCH(bool, malware);
        const QString path = makeFile(QStringLiteral("f.exe"));
        m_model->addFile(path, 1);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(path, Sha1A, Md5A));
        QSignalSpy found(m_model, &SqlModel::malwareFound);
        m_model->setOrvexDataPacked(QStringLiteral("%1|%2|2011-01-01 00:00:00").arg(Md5A, rate));
        QCOMPARE(found.count(), malware ? 1 : 0);
        const QVariantList row = tableRows("SELECT detection_rate, status FROM items").first();
        QCOMPARE(row.at(0), stored);
        QCOMPARE(row.at(1).toString(), status);
    }

    void malformedAnswerChangesNothing()
    {
        const QString path = makeFile(QStringLiteral("f.exe"));
        m_model->addFile(path, 1);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(path, Sha1A, Md5A));
        const QString record = Md5A + "|5";
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable("SqlModel::setOrvexDataPacked() couldn't unpack '" + record + "'"));
        m_model->setOrvexDataPacked(record);
        QVERIFY(tableValue("SELECT check_state FROM items").isNull());
    }

    void manyAnswersAreStoredAsOneByOne()
    {
        // 260 files, two of them sharing a digest. The answers form groups of
        // equal values larger and smaller than one statement takes, a lone
        // one, fractions, a malformed record, a digest nobody has, and a digest
        // answered twice with different values.
        QList<QString> paths;
        for (int i = 0; i < 260; ++i)
            paths << makeFile(QStringLiteral("answer%1.exe").arg(i));
        m_model->addFiles(paths, 1);
        for (int i = 0; i < paths.size(); ++i)
            m_model->setDigestData(
                QStringLiteral("%1|%2|%3")
                    .arg(paths.at(i), sha1Number(i), md5Number(i == 259 ? 258 : i)));
        QList<QString> answers;
        for (int i = 0; i < 259; ++i) {
            QString rate = QStringLiteral("-1");
            QString lastSeen = QStringLiteral("1970-01-01 01:00:00");
            if (i % 37 == 0) {
                rate = QString::number(i % 5 + 1);
                lastSeen =
                    QStringLiteral("2010-06-01 14:03:%1").arg(i % 60, 2, 10, QLatin1Char('0'));
            } else if (i % 50 == 3) {
                rate = QStringLiteral("0.5");
            } else if (i == 77) {
                rate = QStringLiteral("0");
            }
            answers << QStringLiteral("%1|%2|%3").arg(md5Number(i), rate, lastSeen);
            if (i == 120)
                answers << QStringLiteral("broken|record");
            if (i == 140)
                answers << md5Number(999) + QStringLiteral("|3|2011-01-01 00:00:00");
        }
        answers << md5Number(5) + QStringLiteral("|7|2012-02-02 02:02:02");
        answers << md5Number(37) + QStringLiteral("|-1|1970-01-01 01:00:00");

        const QString columns = QStringLiteral(
            "SELECT path, detection_rate, last_seen, check_state, status FROM items ORDER BY id");
        QSignalSpy foundOneByOne(m_model, &SqlModel::malwareFound);
        QTest::ignoreMessage(QtWarningMsg,
                             "SqlModel::setOrvexDataPacked() couldn't unpack 'broken|record'");
        for (const QString &answer : std::as_const(answers))
            m_model->setOrvexDataPacked(answer);
        const QList<QVariantList> oneByOne = tableRows(columns);
        QList<QString> pathsOneByOne;
        for (const QList<QVariant> &signal : std::as_const(foundOneByOne))
            pathsOneByOne << signal.first().toString();

        runSql("UPDATE items SET detection_rate = NULL, last_seen = NULL, check_state = NULL, "
               "status = NULL, scan_time = NULL");
        QSignalSpy foundTogether(m_model, &SqlModel::malwareFound);
        // Each malware report comes once its row carries the verdict.
        QList<int> statesWhenFound;
        connect(m_model, &SqlModel::malwareFound, this, [&statesWhenFound](const QString &path) {
            statesWhenFound << tableValue(QStringLiteral("SELECT check_state FROM items WHERE "
                                                         "path = '%1'")
                                              .arg(path))
                                   .toInt();
        });
        QTest::ignoreMessage(QtWarningMsg,
                             "SqlModel::setOrvexDataPacked() couldn't unpack 'broken|record'");
        m_model->setOrvexDataPackedBatch(answers);
        const QList<QVariantList> together = tableRows(columns);

        QCOMPARE(together, oneByOne);
        QCOMPARE(tableValue("SELECT COUNT(*) FROM items WHERE scan_time IS NULL").toInt(), 0);
        QCOMPARE(together.at(5).at(1), QVariant(7));
        QCOMPARE(together.at(37).at(1), QVariant(-1));
        QCOMPARE(together.at(37).at(4).toString(), QStringLiteral("Not detected as malware."));
        QCOMPARE(together.at(259).at(1), together.at(258).at(1));
        QCOMPARE(tableValue("SELECT COUNT(*) FROM items WHERE check_state = 4").toInt(), 259 + 1);
        QList<QString> pathsTogether;
        for (const QList<QVariant> &signal : std::as_const(foundTogether))
            pathsTogether << signal.first().toString();
        QCOMPARE(pathsTogether.size(), 9);
        pathsTogether.sort();
        pathsOneByOne.sort();
        QCOMPARE(pathsTogether, pathsOneByOne);
        QCOMPARE(statesWhenFound.count(4), statesWhenFound.size() - 1);
        QCOMPARE(statesWhenFound.count(0), 1); // the digest nobody has
    }

    void answerForAnUnknownDigestFindsNoPath()
    {
        QSignalSpy found(m_model, &SqlModel::malwareFound);
        m_model->setOrvexDataPacked(Md5A + "|9|2011-01-01 00:00:00");
        QCOMPARE(found.count(), 1);
        QCOMPARE(found.first().first().toString(), QString());
        QCOMPARE(m_model->fileCount(), 0);
    }

    void backgroundAndFontRoles()
    {
        m_model->addFiles({"/r/none", "/r/not", "/r/unable", "/r/checking", "/r/clean", "/r/bad"},
                          1);
        runSql("UPDATE items SET check_state = 1 WHERE name = 'not'");
        runSql("UPDATE items SET check_state = 2 WHERE name = 'unable'");
        runSql("UPDATE items SET check_state = 3 WHERE name = 'checking'");
        runSql("UPDATE items SET check_state = 4, detection_rate = 0 WHERE name = 'clean'");
        runSql("UPDATE items SET check_state = 4, detection_rate = 1 WHERE name = 'bad'");
        m_model->select();
        const QList<QVariant> expected{QVariant(),           QColor(Qt::lightGray),
                                       QColor(Qt::darkGray), QColor(Qt::lightGray),
                                       QVariant(),           QColor(255, 152, 1)};
        for (int row = 0; row < 6; ++row) {
            for (int section : {SqlModel::NameSection, SqlModel::StatusSection}) {
                const QVariant background =
                    m_model->data(m_model->index(row, section), Qt::BackgroundRole);
                QCOMPARE(background.isValid(), expected.at(row).isValid());
                if (background.isValid())
                    QCOMPARE(background.value<QColor>(), expected.at(row).value<QColor>());
            }
        }
        QVERIFY(m_model->isRowMalicious(5));
        QVERIFY(!m_model->isRowMalicious(4));
        QCOMPARE(m_model->rowCheckState(2), 2);

        const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        for (int section : {SqlModel::Md5Section, SqlModel::Sha1Section}) {
            const QVariant font = m_model->data(m_model->index(0, section), Qt::FontRole);
            QCOMPARE(font.value<QFont>(), fixed);
        }
        QVERIFY(m_model->data(m_model->index(0, SqlModel::PathSection), Qt::FontRole) !=
                QVariant(fixed));
        QCOMPARE(m_model->data(m_model->index(0, SqlModel::NameSection)).toString(),
                 QStringLiteral("none"));
    }

    void clearNonMaliciousEntriesRemovesRowsWithoutData()
    {
        addAnswered("nodata.exe", md5Number(1), sha1Number(1), -1);
        addAnswered("clean.exe", md5Number(2), sha1Number(2), 0);
        addAnswered("bad.exe", md5Number(3), sha1Number(3), 60);
        m_model->addFile(makeFile("pending.exe"), 1);
        QSignalSpy counted(m_model, &SqlModel::fileCountChanged);
        QTest::ignoreMessage(QtDebugMsg, "SqlModel::clearNonMaliciousEntries() called");
        m_model->clearNonMaliciousEntries();
        QCOMPARE(tableRows("SELECT name FROM items ORDER BY id"),
                 (QList<QVariantList>{{"clean.exe"}, {"bad.exe"}, {"pending.exe"}}));
        QCOMPARE(counted.count(), 1);
        QCOMPARE(counted.first().first().toInt(), 3);
        QCOMPARE(m_model->rowCount(), 3);
    }

    void clearAbortedEntriesKeepsOnlyAnsweredRows()
    {
        addAnswered("nodata.exe", md5Number(1), sha1Number(1), -1);
        addAnswered("bad.exe", md5Number(3), sha1Number(3), 60);
        const QString unable = makeFile("unable.exe");
        m_model->addFile(unable, 1);
        m_model->setUnableToOpenFile(unable);
        m_model->addFile(makeFile("pending.exe"), 1);
        m_model->clearAbortedEntries();
        QCOMPARE(tableRows("SELECT name FROM items ORDER BY id"),
                 (QList<QVariantList>{{"nodata.exe"}, {"bad.exe"}}));
        QCOMPARE(m_model->rowCount(), 2);
    }

    void clearQuickScanFilesRemovesQuickRowsWithoutData()
    {
        const QString quick = makeFile("quick.exe");
        const QString full = makeFile("full.exe");
        m_model->addFile(quick, 0);
        m_model->addFile(full, 1);
        m_model->addFile(makeFile("quickclean.exe"), 0);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(quick, Sha1A, Md5A));
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(full, Sha1A, Md5A));
        m_model->setOrvexDataPacked(Md5A + "|-1|2011-01-01 00:00:00");
        QSignalSpy counted(m_model, &SqlModel::fileCountChanged);
        m_model->clearQuickScanFiles();
        QCOMPARE(tableRows("SELECT name FROM items ORDER BY id"),
                 (QList<QVariantList>{{"full.exe"}, {"quickclean.exe"}}));
        QCOMPARE(counted.count(), 1);
        QCOMPARE(counted.first().first().toInt(), 2);
    }

    void clearingABigTableReclaimsItsPages()
    {
        // More rows than the model fetches at once: the model's select still
        // reads when the table is cleared, which must not stop VACUUM.
        for (int i = 0; i < 600; ++i)
            m_model->addFile(QStringLiteral("/big/%1.exe").arg(i), 0);
        runSql("UPDATE items SET detection_rate = -1");
        m_model->select();
        QVERIFY(m_model->canFetchMore());
        QTest::failOnWarning(QRegularExpression(QStringLiteral("SQL ERROR")));
        const qint64 pagesBefore = tableValue("PRAGMA page_count").toLongLong();
        m_model->clearQuickScanFiles();
        QCOMPARE(m_model->fileCount(), 0);
        QVERIFY(tableValue("PRAGMA page_count").toLongLong() < pagesBefore);
    }

    void recordsAreCommittedWhenTheEventLoopTurns()
    {
        // Digests and answers share a transaction until the event loop next
        // turns; a VACUUM meanwhile (clearing the clean rows) must still run.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("SQL ERROR")));
        for (int i = 0; i < 600; ++i)
            addAnswered(QStringLiteral("f%1.exe").arg(i), md5Number(i), sha1Number(i),
                        i == 7 ? 60 : -1);
        const qint64 pagesBefore = tableValue("PRAGMA page_count").toLongLong();
        QTest::ignoreMessage(QtDebugMsg, "SqlModel::clearNonMaliciousEntries() called");
        m_model->clearNonMaliciousEntries();
        QCOMPARE(m_model->fileCount(), 1);
        QVERIFY(tableValue("PRAGMA page_count").toLongLong() < pagesBefore);

        // A later record opens a new batch, which the next turn commits: a
        // rollback after that takes nothing back.
        m_model->setOrvexDataPacked(md5Number(7) + QStringLiteral("|0|2024-01-02 03:04:05"));
        QSqlDatabase db = QSqlDatabase::database();
        const auto noTransactionOpen = [&db] { return db.transaction() && db.rollback(); };
        QTRY_VERIFY(noTransactionOpen());
        QCOMPARE(tableRows("SELECT detection_rate FROM items"), (QList<QVariantList>{{0}}));
    }

    void filterMatchesTypedTextLiterally_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("empty") << QString()
                               << QStringList{"O'Brien.exe", "100%.exe", "1000.exe",
                                              "a_b.exe",     "axb.exe",  "back\\slash.exe",
                                              "File.exe"};
        QTest::newRow("quote") << "O'B" << QStringList{"O'Brien.exe"};
        QTest::newRow("percent") << "100%" << QStringList{"100%.exe"};
        QTest::newRow("underscore") << "a_b" << QStringList{"a_b.exe"};
        QTest::newRow("backslash") << "k\\s" << QStringList{"back\\slash.exe"};
        // The table shows a backslash doubled; that form finds it too.
        QTest::newRow("backslash as shown") << "k\\\\s" << QStringList{"back\\slash.exe"};
        QTest::newRow("letter case as LIKE") << "file.EXE" << QStringList{"File.exe"};
        QTest::newRow("injection") << "x' OR '1'='1" << QStringList{};
        QTest::newRow("statement") << "'; DROP TABLE items; --" << QStringList{};
        QTest::newRow("NUL") << QStringLiteral("a") + QChar(0) << QStringList{};
    }

    void filterMatchesTypedTextLiterally()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, names);
        for (const QString name : {"O'Brien.exe", "100%.exe", "1000.exe", "a_b.exe", "axb.exe",
                                   "back\\slash.exe", "File.exe"})
            m_model->addFile("/filter/" + name, 1);
        QTest::failOnWarning(QRegularExpression(QStringLiteral("SQL ERROR")));
        m_model->userSetFilter(text);
        m_model->fetchAll();
        QStringList stored;
        for (int row = 0; row < m_model->rowCount(); ++row)
            stored.append(
                m_model->data(m_model->index(row, SqlModel::NameSection), Qt::EditRole).toString());
        QCOMPARE(stored, names);
        QCOMPARE(m_model->fileCount(), 7);
    }

    void filterIsLogged()
    {
        QTest::ignoreMessage(QtDebugMsg,
                             "SqlModel::userSetFilter() sql filter is [path LIKE '%it''s\\_%' "
                             "ESCAPE '\\']");
        m_model->userSetFilter(QStringLiteral("it's_"));
    }

    void filterRecoversAfterAFailedSelect()
    {
        m_model->addFile(QStringLiteral("/f/a.exe"), 1);
        m_model->setFilter(QStringLiteral("no_such_column = 1"));
        QVERIFY(!m_model->select());
        m_model->userSetFilter(QStringLiteral("a.exe"));
        QCOMPARE(m_model->rowCount(), 1);
    }

    void sizeOrderUsesTheByteCount()
    {
        m_model->addFile(makeFile("big", 5000), 1);
        m_model->addFile(makeFile("small", 900), 1);
        m_model->addFile(makeFile("middle", 2000), 1);
        m_model->setOrderByClause(QStringLiteral(" ORDER BY bytes ASC"));
        m_model->select();
        QStringList order;
        for (int row = 0; row < 3; ++row)
            order.append(m_model->data(m_model->index(row, SqlModel::NameSection)).toString());
        QCOMPARE(order, (QStringList{"small", "middle", "big"}));
    }

    void removeRowsDeletesTheChosenFile()
    {
        const QString upper = addAnswered("File.exe", md5Number(1), sha1Number(1), 30);
        const QString lower = addAnswered("file.exe", md5Number(2), sha1Number(2), 0);
        const QString pending = makeFile("pending.exe");
        m_model->addFile(pending, 1);
        m_model->addFile(makeFile("kept.exe"), 1);
        m_model->select();
        QCOMPARE(m_model->rowCount(), 4);

        QSignalSpy removed(m_model, &SqlModel::malwareRemoved);
        QTest::ignoreMessage(QtDebugMsg, "SqlModel::removeRows() called with 2 rows");
        QTest::ignoreMessage(QtDebugMsg, "\trow is 2");
        QTest::ignoreMessage(QtDebugMsg, "\trow is 0");
        m_model->removeRows(QList<int>{2, 0});
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.first().first().toString(), upper);
        QCOMPARE(tableRows("SELECT path FROM items ORDER BY id"),
                 (QList<QVariantList>{{lower},
                                      {QDir::toNativeSeparators(m_dir->filePath("kept.exe"))}}));
        QCOMPARE(m_model->rowCount(), 2);
    }

    void queriesForTheOtherParts()
    {
        const QString a = makeFile("a.exe");
        const QString b = makeFile("b.exe");
        const QString c = makeFile("c.exe");
        m_model->addFiles({a, b, c}, 1);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(b, Sha1A, Md5A));
        QTest::ignoreMessage(QtDebugMsg, "SqlModel:filesToDigest() called with limit 1");
        QCOMPARE(m_model->filesToDigest(1), QList<QString>{a});
        QCOMPARE(m_model->filesToDigest(2147483647), (QList<QString>{a, c}));
        QCOMPARE(m_model->pathsFromDigest(Md5A), QList<QString>{b});
        QCOMPARE(m_model->pathsFromDigest(Md5B), QList<QString>{});
        QCOMPARE(m_model->fileCount(), 3);

        runSql("INSERT INTO items (path, md5) VALUES ('', '" + Md5A + "')");
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable("SqlModel::pathsFromDigest() got an empty path for '" + Md5A + "'"));
        QCOMPARE(m_model->pathsFromDigest(Md5A), (QList<QString>{b, QString()}));

        m_model->select();
        QTest::ignoreMessage(QtDebugMsg, "SqlModel::fileFPData() called");
        QTest::ignoreMessage(QtDebugMsg, qPrintable("SqlModel::fileFPData() packed_data is " +
                                                    Md5A + "|" + Sha1A + "|" + b));
        QCOMPARE(m_model->fileFPData(1), Md5A + "|" + Sha1A + "|" + b);
        QCOMPARE(m_model->filePaths({2, 0}), (QList<QString>{c, a}));
        QCOMPARE(m_model->rowPath(1), b);
    }

    void loadFileInfoInsertsByColumnName()
    {
        const QString good = QStringLiteral("%1|%2|%3|/d/tool.exe|2 KB|0|2012-02-02 02:02:02|4|"
                                            "Not detected as malware.")
                                 .arg("tool.exe", Md5A, Sha1A);
        const QString barred =
            QStringLiteral("%1|%2|%3|/d/a|b/x|y.exe|1 KB|7|2012-02-02 02:02:02|4|Malware "
                           "detected.")
                .arg("x|y.exe", Md5B, Sha1B);
        const QString bad = QStringLiteral("only|four|fields|here");
        QSignalSpy counted(m_model, &SqlModel::fileCountChanged);
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable("SqlModel::loadFileInfo() couldn't unpack data '" + bad + "'"));
        m_model->loadFileInfo({good, bad, barred});
        QCOMPARE(tableRows("SELECT name, path, md5, sha1, size, detection_rate, last_seen, "
                           "check_state, status FROM items ORDER BY id"),
                 (QList<QVariantList>{{"tool.exe", "/d/tool.exe", Md5A, Sha1A, "2 KB", 0,
                                       "2012-02-02 02:02:02", 4, "Not detected as malware."},
                                      {"x|y.exe", "/d/a|b/x|y.exe", Md5B, Sha1B, "1 KB", 7,
                                       "2012-02-02 02:02:02", 4, "Malware detected."}}));
        QCOMPARE(counted.count(), 1);
        QCOMPARE(counted.first().first().toInt(), 2);
        QCOMPARE(m_model->rowCount(), 2);
    }

    void registrySlotsThatCarryNoRowChangeNothing()
    {
        m_model->addFile(QStringLiteral("/x/a.exe"), 1);
        m_model->setData(QStringLiteral("/x/a.exe"), 11, QVariant(QStringLiteral("5")));
        m_model->setOrvexData(Md5A, 7, QVariant(4));
        QCOMPARE(tableRows("SELECT check_state, detection_rate FROM items"),
                 (QList<QVariantList>{{QVariant(), QVariant()}}));
    }

    void exportWritesEveryRowReadableAsCsv()
    {
        const QStringList names{"File.exe",      "file.exe",       "comma,name.exe",
                                "pipe|name.exe", "say \"hi\".exe", "two\nlines.exe",
                                "it's.exe"};
        QStringList paths;
        for (int i = 0; i < names.size(); ++i)
            paths.append(addAnswered(names.at(i), md5Number(i), sha1Number(i), i - 1));

        ScriptedExporter exporter;
        exporter.fileName = m_dir->filePath(QStringLiteral("export.csv"));
        QTest::ignoreMessage(QtDebugMsg, "SqlModel::exportTable() called");
        m_model->exportTable(exporter);

        const QList<QStringList> rows = readCsv(exporter.fileName, QStringLiteral(","));
        QCOMPARE(rows.size(), names.size() + 1); // the column titles, then every file
        for (int i = 0; i < names.size(); ++i) {
            const QStringList &row = rows.at(i + 1);
            QCOMPARE(row.size(), 9);
            QCOMPARE(row.at(0), names.at(i));
            QCOMPARE(row.at(1), md5Number(i));
            QCOMPARE(row.at(2), sha1Number(i));
            QCOMPARE(row.at(3), paths.at(i));
            QCOMPARE(row.at(5), QString::number(i - 1));
            QCOMPARE(row.at(7), QStringLiteral("Checked."));
            QCOMPARE(row.at(8), i - 1 >= 1 ? QStringLiteral("Malware detected.")
                                           : QStringLiteral("Malware not detected."));
        }
    }

    void exportCancelledWritesNothing()
    {
        ScriptedExporter exporter; // no file name: the user cancelled
        m_model->exportTable(exporter);
        QVERIFY(QDir(m_dir->path()).isEmpty());
    }

    void exportReportsAnUnreadableTable()
    {
        ScriptedExporter exporter;
        exporter.fileName = m_dir->filePath(QStringLiteral("export.csv"));
        runSql("DROP TABLE items");
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral(
                                 "^SQL ERROR for query \\[SELECT \\* FROM items\\]: '.+'$")));
        try {
            m_model->exportTable(exporter);
            QFAIL("no error was raised");
        } catch (const QString &error) {
            QCOMPARE(error, QStringLiteral("Unable to query the database."));
        }
        QFile file(exporter.fileName);
        QVERIFY(file.exists());
        QCOMPARE(file.size(), 0);
    }

    void exportReportsAFailedWrite()
    {
        // /dev/full accepts the open and fails every write, as a full disk does.
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full on this system");
        for (int i = 0; i < 200; ++i)
            m_model->addFile(QStringLiteral("/many/%1.exe").arg(i), 1);
        ScriptedExporter exporter;
        exporter.fileName = QStringLiteral("/dev/full");
        try {
            m_model->exportTable(exporter);
            QFAIL("a failed write was reported as success");
        } catch (const QString &error) {
            QCOMPARE(error, QStringLiteral("Unable to write the file '/dev/full'."));
        }
    }

private:
    // The rows Python's csv module reads from an exported file, the version line left out.
    QList<QStringList> readCsv(const QString &fileName, const QString &delimiter)
    {
        const char *script = "import csv, json, sys\n"
                             "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
                             "    f.readline()\n"
                             "    rows = list(csv.reader(f, delimiter=sys.argv[2], strict=True))\n"
                             "json.dump(rows, sys.stdout)\n";
        QProcess python;
        python.start(QStringLiteral("python3"),
                     {QStringLiteral("-c"), QString::fromLatin1(script), fileName, delimiter});
        if (!python.waitForFinished(30000) || python.exitCode() != 0) {
            // A file Python rejects fails the caller's comparisons, not the whole run.
            qWarning("python3 could not read the export: %s",
                     python.readAllStandardError().constData());
            return {};
        }
        QList<QStringList> rows;
        const QJsonArray array = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
        for (const QJsonValue &row : array) {
            QStringList fields;
            for (const QJsonValue &field : row.toArray())
                fields.append(field.toString());
            rows.append(fields);
        }
        return rows;
    }
};

// Run as "-child-sizes <path>..." by the permission test: adds each file to a
// fresh table and prints the size text of each row.
static int childSizes(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    if (!db.open())
        return 2;
    SqlModel model;
    for (int i = 2; i < argc; ++i)
        model.addFile(QString::fromLocal8Bit(argv[i]), 1);
    QSqlQuery read(db);
    if (!read.exec(QStringLiteral("SELECT size FROM items ORDER BY id")))
        return 3;
    QTextStream out(stdout);
    while (read.next())
        out << read.value(0).toString() << '\n';
    return 0;
}

int main(int argc, char **argv)
{
    if (argc > 2 && qstrcmp(argv[1], "-child-sizes") == 0)
        return childSizes(argc, argv);
    QApplication app(argc, argv);
    TestSqlModel test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sqlmodel.moc"
