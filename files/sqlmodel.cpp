#include "files/sqlmodel.h"

#include "files/dataexporter.h"
#include "files/sqllike.h"
#include "platform/clock.h"
#include "platform/filename.h"
#include "platform/fileproperties.h"
#include "registry/orvexcheckstate.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QTextStream>

namespace {
struct Answer
{
    QString digest;
    QString rateText;
    QString lastSeen;
    int rate = 0;
};

const QString TableName = QStringLiteral("items");

QString statement(const char *text)
{
    return QString::fromLatin1(text).arg(TableName);
}

bool isDigestField(const QString &text, int width)
{
    if (text.isEmpty()) // a digest interrupted by a stop
        return true;
    if (text.size() != width)
        return false;
    for (const QChar c : text) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return false;
    }
    return true;
}

// A digest record is "path|sha1|md5". A Linux path may itself hold "|", so the
// two fixed-width digests are taken from the end and the rest is the path.
bool unpackDigestRecord(const QString &packed, QString *path, QString *sha1, QString *md5)
{
    const int md5Bar = packed.lastIndexOf(u'|');
    if (md5Bar <= 0)
        return false;
    const int sha1Bar = packed.lastIndexOf(u'|', md5Bar - 1);
    if (sha1Bar < 0)
        return false;
    *path = packed.left(sha1Bar);
    *sha1 = packed.mid(sha1Bar + 1, md5Bar - sha1Bar - 1);
    *md5 = packed.mid(md5Bar + 1);
    return isDigestField(*sha1, 40) && isDigestField(*md5, 32);
}

// A registry result record is "digest|rate|last seen"; the rate may come as a
// decimal fraction, which counts truncated toward zero.
bool unpackAnswer(const QString &packed, Answer *answer)
{
    const QStringList fields = packed.split(u'|');
    if (fields.size() != 3) {
        qWarning().noquote()
            << QStringLiteral("SqlModel::setOrvexDataPacked() couldn't unpack '%1'").arg(packed);
        return false;
    }
    answer->digest = fields.at(0);
    answer->rateText = fields.at(1);
    answer->lastSeen = fields.at(2);
    bool isInteger = false;
    answer->rate = answer->rateText.toInt(&isInteger);
    if (!isInteger)
        answer->rate = static_cast<int>(answer->rateText.toDouble());
    return true;
}

// A file-information record is "name|md5|sha1|path|size|rate|last seen|check
// state|status". Only name and path can hold "|": the last five fields are taken
// from the end, and the name/path split is the one where the two digests are
// well formed and the name is the path's file name.
bool unpackFileInfoRecord(const QString &packed, QStringList *fields)
{
    constexpr int FieldCount = 9;
    constexpr int TailCount = 5;
    const QStringList parts = packed.split(u'|');
    if (parts.size() < FieldCount)
        return false;
    if (parts.size() == FieldCount) {
        *fields = parts;
        return true;
    }
    const QStringList tail = parts.mid(parts.size() - TailCount);
    const QStringList head = parts.mid(0, parts.size() - TailCount);
    for (int md5At = 1; md5At + 2 < head.size(); ++md5At) {
        const QString md5 = head.at(md5At);
        const QString sha1 = head.at(md5At + 1);
        if (!isDigestField(md5, 32) || !isDigestField(sha1, 40))
            continue;
        const QString name = head.mid(0, md5At).join(u'|');
        const QString path = head.mid(md5At + 2).join(u'|');
        if (QFileInfo(path).fileName() != name)
            continue;
        *fields = QStringList{name, md5, sha1, path} + tail;
        return true;
    }
    return false;
}

// Groups the statements of one operation into a transaction: the in-memory
// database then updates its pages once instead of once per statement. When a
// transaction is already open, the statements simply join it.
class Transaction
{
public:
    explicit Transaction(QSqlDatabase db) : m_db(std::move(db)), m_open(m_db.transaction()) {}
    ~Transaction()
    {
        if (m_open && !m_db.commit())
            qWarning().noquote() << QStringLiteral("SQL ERROR for query [%1]: '%2'")
                                        .arg(QStringLiteral("COMMIT"), m_db.lastError().text());
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

private:
    QSqlDatabase m_db;
    bool m_open;
};

} // namespace

SqlModel::SqlModel(QObject *parent) : QSqlTableModel(parent)
{
    exec(statement("CREATE TABLE %1 (id INTEGER PRIMARY KEY,name TEXT COLLATE NOCASE,path TEXT "
                   "COLLATE NOCASE,md5 TEXT COLLATE NOCASE,sha1 TEXT COLLATE NOCASE,size "
                   "TEXT,detection_rate INTEGER,bytes INTEGER,scan_type INTEGER,last_seen "
                   "TEXT,scan_time TEXT,check_state INTEGER,status INTEGER)"));
    exec(statement("CREATE INDEX idx_md5 ON %1( md5 )"));
    exec(statement("CREATE INDEX idx_path ON %1( path )"));
    // Rows are found by their exact path ("File.exe" and "file.exe" are two files
    // on Linux); idx_path folds case, so exact look-ups need an index of their own.
    exec(statement("CREATE INDEX idx_path_exact ON %1( path COLLATE BINARY )"));

    m_headers.insert(QStringLiteral("name"), tr("Name"));
    m_headers.insert(QStringLiteral("path"), tr("Path"));
    m_headers.insert(QStringLiteral("md5"), tr("MD5"));
    m_headers.insert(QStringLiteral("sha1"), tr("SHA-1"));
    m_headers.insert(QStringLiteral("size"), tr("Size"));
    m_headers.insert(QStringLiteral("detection_rate"), tr("Detection Rate"));
    m_headers.insert(QStringLiteral("last_seen"), tr("Last Seen"));
    m_headers.insert(QStringLiteral("scan_time"), tr("Time Scanned"));
    m_headers.insert(QStringLiteral("check_state"), tr("Check State"));
    m_headers.insert(QStringLiteral("status"), tr("Status"));

    m_writeBatchTimer.setSingleShot(true);
    m_writeBatchTimer.setInterval(0);
    connect(&m_writeBatchTimer, &QTimer::timeout, this, &SqlModel::commitWriteBatch);

    const QSqlDatabase db = database();
    m_insertFile = QSqlQuery(db);
    m_insertFile.prepare(
        statement("INSERT INTO %1 (name, path, size, bytes, scan_type) VALUES( ?, ?, ?, ?, ? )"));
    QStringList rows;
    for (int i = 0; i < RowsPerInsert; ++i)
        rows << QStringLiteral("( ?, ?, ?, ?, ? )");
    m_insertFiles = QSqlQuery(db);
    m_insertFiles.prepare(statement("INSERT INTO %1 (name, path, size, bytes, scan_type) VALUES ") +
                          rows.join(QStringLiteral(", ")));
    m_updateDigests = QSqlQuery(db);
    m_updateDigests.prepare(
        statement("UPDATE %1 SET sha1 = ?, md5 = ? WHERE path = ? COLLATE BINARY"));
    m_updateUnableToOpen = QSqlQuery(db);
    m_updateUnableToOpen.prepare(
        statement("UPDATE %1 SET check_state = ?, status = ? WHERE path = ? COLLATE BINARY"));
    m_updateUnableToCheck = QSqlQuery(db);
    m_updateUnableToCheck.prepare(
        statement("UPDATE %1 SET check_state = ?, status = ? WHERE md5 = ?"));
    m_updateAnswer = QSqlQuery(db);
    m_updateAnswer.prepare(
        statement("UPDATE %1 SET detection_rate = ?, last_seen = ?, check_state = ?, status = "
                  "?, scan_time = ? WHERE md5 = ?"));
    QStringList digests;
    for (int i = 0; i < DigestsPerUpdate; ++i)
        digests << QStringLiteral("?");
    m_updateAnswers = QSqlQuery(db);
    m_updateAnswers.prepare(
        statement("UPDATE %1 SET detection_rate = ?, last_seen = ?, check_state = ?, status = "
                  "?, scan_time = ? WHERE md5 IN ( ") +
        digests.join(QStringLiteral(", ")) + QStringLiteral(" )"));
    m_selectPathsForDigest = QSqlQuery(db);
    m_selectPathsForDigest.setForwardOnly(true);
    m_selectPathsForDigest.prepare(statement("SELECT path FROM %1 WHERE md5 = ?"));

    setTable(TableName);
    setEditStrategy(QSqlTableModel::OnFieldChange);
    if (select())
        qDebug() << "select ok";
    else
        qDebug() << "select failed";
    qDebug().noquote() << "select statement:" << selectStatement();
}

QString SqlModel::selectStatement() const
{
    QString text = QStringLiteral("SELECT %1 FROM %2")
                       .arg(m_headers.keys().join(QStringLiteral(", ")), TableName);
    if (!filter().isEmpty())
        text += QStringLiteral(" WHERE %1").arg(filter());
    if (!m_orderByClause.isEmpty()) {
        qDebug().noquote() << "order by is:" << m_orderByClause;
        text += m_orderByClause;
    }
    return text;
}

QVariant SqlModel::cell(int row, int section) const
{
    return QSqlTableModel::data(index(row, section), Qt::EditRole);
}

QVariant SqlModel::data(const QModelIndex &item, int role) const
{
    if (role == Qt::BackgroundRole) {
        if (isRowMalicious(item.row()))
            return m_highlight;
        switch (rowCheckState(item.row())) {
        case NotChecked:
        case Checking:
            return QColor(Qt::lightGray);
        case UnableToCheck:
            return QColor(Qt::darkGray);
        default:
            return QVariant();
        }
    }
    if (role == Qt::FontRole && (item.column() == Md5Section || item.column() == Sha1Section))
        return QFontDatabase::systemFont(QFontDatabase::FixedFont);
    // Names are stored losslessly; people see the bytes that are not text as
    // \xNN, as the command line prints them, and the filter finds them so.
    if (role == Qt::DisplayRole && (item.column() == NameSection || item.column() == PathSection)) {
        const QVariant value = QSqlTableModel::data(item, Qt::DisplayRole);
        if (value.isNull())
            return value;
        return FileName::readable(value.toString());
    }
    return QSqlTableModel::data(item, role);
}

QVariant SqlModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < m_headers.size())
        return m_headers.values().at(section);
    return QSqlTableModel::headerData(section, orientation, role);
}

void SqlModel::logSqlError(const QSqlQuery &query)
{
    qWarning().noquote() << QStringLiteral("SQL ERROR for query [%1]: '%2'")
                                .arg(query.lastQuery(), query.lastError().text());
}

bool SqlModel::exec(QSqlQuery &query)
{
    if (query.exec())
        return true;
    logSqlError(query);
    return false;
}

bool SqlModel::exec(const QString &text)
{
    QSqlQuery query(database());
    if (query.exec(text))
        return true;
    logSqlError(query);
    return false;
}

int SqlModel::count(const QString &text)
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    if (!query.exec(text)) {
        logSqlError(query);
        return 0;
    }
    return query.next() ? query.value(0).toInt() : 0;
}

SqlModel::~SqlModel()
{
    commitWriteBatch();
}

void SqlModel::joinWriteBatch()
{
    if (m_writeBatchOpen)
        return;
    // Inside another transaction the statements simply join it.
    QSqlDatabase db = database();
    if (!db.transaction())
        return;
    m_writeBatchOpen = true;
    m_writeBatchTimer.start();
}

void SqlModel::commitWriteBatch()
{
    m_writeBatchTimer.stop();
    if (!std::exchange(m_writeBatchOpen, false))
        return;
    QSqlDatabase db = database();
    if (!db.commit())
        qWarning().noquote() << QStringLiteral("SQL ERROR for query [%1]: '%2'")
                                    .arg(QStringLiteral("COMMIT"), db.lastError().text());
}

void SqlModel::vacuum()
{
    commitWriteBatch();
    // VACUUM refuses to run while a statement is still reading; the model's own
    // select may hold unfetched rows. It is re-selected right after anyway.
    QSqlQuery modelQuery = query();
    modelQuery.finish();
    exec(QStringLiteral("VACUUM"));
}

void SqlModel::emitFileCountChanged()
{
    Q_EMIT fileCountChanged(count(statement("SELECT COUNT(*) from %1")));
}

QString SqlModel::sizeText(qint64 bytes)
{
    if (bytes < 0)
        return tr("unknown size");
    return QLocale::system().formattedDataSize(bytes, 2, QLocale::DataSizeTraditionalFormat);
}

void SqlModel::bindFile(QSqlQuery &insert, const QString &path, int scanType, qint64 bytes)
{
    const QString absolute = QDir::toNativeSeparators(FileName::absolute(path));
    if (bytes == NotMeasured)
        bytes = FileProperties::sizeOf(absolute);
    insert.addBindValue(absolute.mid(absolute.lastIndexOf(u'/') + 1));
    insert.addBindValue(absolute);
    insert.addBindValue(sizeText(bytes));
    insert.addBindValue(qMax<qint64>(bytes, 0));
    insert.addBindValue(scanType);
}

void SqlModel::addFile(QString p_path, int p_scan_type)
{
    bindFile(m_insertFile, p_path, p_scan_type);
    exec(m_insertFile);
}

void SqlModel::addFiles(QList<QString> p_paths, int p_scan_type)
{
    addFiles(p_paths, p_scan_type, {});
}

void SqlModel::addFiles(const QList<QString> &paths, int scanType, const QList<qint64> &sizes)
{
    const Transaction transaction(database());
    const auto bytes = [&sizes](qsizetype i) { return sizes.value(i, NotMeasured); };
    // A full scan stores files by the hundred thousand; running a statement
    // costs more than the row it inserts, so they go in a hundred at a time.
    qsizetype next = 0;
    for (; next + RowsPerInsert <= paths.size(); next += RowsPerInsert) {
        for (qsizetype i = next; i < next + RowsPerInsert; ++i)
            bindFile(m_insertFiles, paths.at(i), scanType, bytes(i));
        exec(m_insertFiles);
    }
    for (; next < paths.size(); ++next) {
        bindFile(m_insertFile, paths.at(next), scanType, bytes(next));
        exec(m_insertFile);
    }
}

void SqlModel::setDigestData(QString p_packed_data)
{
    QString path, sha1, md5;
    if (!unpackDigestRecord(p_packed_data, &path, &sha1, &md5)) {
        qWarning().noquote()
            << QStringLiteral("SqlModel::setDigestData() couldn't unpack '%1'").arg(p_packed_data);
        return;
    }
    joinWriteBatch();
    m_updateDigests.addBindValue(sha1);
    m_updateDigests.addBindValue(md5);
    m_updateDigests.addBindValue(path);
    exec(m_updateDigests);
}

void SqlModel::setUnableToOpenFile(QString p_path)
{
    joinWriteBatch();
    m_updateUnableToOpen.addBindValue(int(UnableToCheck));
    m_updateUnableToOpen.addBindValue(tr("Unable to open file."));
    m_updateUnableToOpen.addBindValue(p_path);
    exec(m_updateUnableToOpen);
}

void SqlModel::setFileSkipped(QString p_path, QString p_reason)
{
    joinWriteBatch();
    m_updateUnableToOpen.addBindValue(int(UnableToCheck));
    m_updateUnableToOpen.addBindValue(tr("Skipped: %1.").arg(p_reason));
    m_updateUnableToOpen.addBindValue(p_path);
    exec(m_updateUnableToOpen);
}

void SqlModel::setFileChangedWhileRead(QString p_path)
{
    joinWriteBatch();
    m_updateUnableToOpen.addBindValue(int(UnableToCheck));
    m_updateUnableToOpen.addBindValue(tr("Changed while it was scanned."));
    m_updateUnableToOpen.addBindValue(p_path);
    exec(m_updateUnableToOpen);
}

void SqlModel::setUnableToCheck(QString p_md5)
{
    joinWriteBatch();
    m_updateUnableToCheck.addBindValue(int(UnableToCheck));
    m_updateUnableToCheck.addBindValue(tr("Unable to check against malware database."));
    m_updateUnableToCheck.addBindValue(p_md5);
    exec(m_updateUnableToCheck);
}

void SqlModel::setOrvexDataPacked(QString p_packed_data)
{
    Answer answer;
    if (!unpackAnswer(p_packed_data, &answer))
        return;
    if (answer.rate > 0)
        Q_EMIT malwareFound(pathsFromDigest(answer.digest).value(0));
    updateAnswers(answer.rateText, answer.lastSeen, answerStatus(answer.rate),
                  currentScanTimeText(), {answer.digest});
}

void SqlModel::setOrvexDataPackedBatch(const QList<QString> &p_packed_data)
{
    // Most answers of a scan carry the same values (every file the registry
    // does not know has rate -1 and last seen 0), and binding a value costs
    // more than the row it changes: answers with equal values are grouped and
    // each group is stored a hundred digests per statement.
    struct Group
    {
        QString rateText;
        QString lastSeen;
        int rate = 0;
        QList<QString> digests;
    };
    QList<Group> groups;
    QHash<QString, qsizetype> groupOfValues; // rate text and last seen -> group
    QSet<QString> grouped;
    QList<QString> malware;
    const auto storeGroups = [&] {
        const QString scanTime = currentScanTimeText();
        for (const Group &group : std::as_const(groups))
            updateAnswers(group.rateText, group.lastSeen, answerStatus(group.rate), scanTime,
                          group.digests);
        groups.clear();
        groupOfValues.clear();
        grouped.clear();
        // Told once the rows carry their verdict.
        for (const QString &digest : std::as_const(malware))
            Q_EMIT malwareFound(pathsFromDigest(digest).value(0));
        malware.clear();
    };

    for (const QString &record : p_packed_data) {
        Answer answer;
        if (!unpackAnswer(record, &answer))
            continue;
        // A digest answered twice keeps its later answer, as one by one.
        if (grouped.contains(answer.digest))
            storeGroups();
        const QString values = answer.rateText + u'|' + answer.lastSeen;
        auto found = groupOfValues.constFind(values);
        if (found == groupOfValues.constEnd()) {
            found = groupOfValues.insert(values, groups.size());
            groups.append(Group{answer.rateText, answer.lastSeen, answer.rate, {}});
        }
        groups[*found].digests.append(answer.digest);
        grouped.insert(answer.digest);
        if (answer.rate > 0)
            malware.append(answer.digest);
    }
    if (!groups.isEmpty())
        storeGroups();
}

void SqlModel::updateAnswers(const QString &rateText, const QString &lastSeen,
                             const QString &status, const QString &scanTime,
                             const QList<QString> &digests)
{
    joinWriteBatch();
    for (qsizetype next = 0; next < digests.size(); next += DigestsPerUpdate) {
        const qsizetype count = qMin<qsizetype>(DigestsPerUpdate, digests.size() - next);
        QSqlQuery &update = count == 1 ? m_updateAnswer : m_updateAnswers;
        int value = 0;
        update.bindValue(value++, rateText);
        update.bindValue(value++, lastSeen);
        update.bindValue(value++, int(Checked));
        update.bindValue(value++, status);
        update.bindValue(value++, scanTime);
        // A short last group fills the list with its last digest again; a
        // digest listed twice changes its rows once.
        const int digestCount = count == 1 ? 1 : DigestsPerUpdate;
        for (int i = 0; i < digestCount; ++i)
            update.bindValue(value++, digests.at(next + qMin<qsizetype>(i, count - 1)));
        exec(update);
    }
}

QString SqlModel::answerStatus(int rate)
{
    return rate > 0 ? tr("Malware detected.") : tr("Not detected as malware.");
}

QString SqlModel::currentScanTimeText()
{
    // Answers arrive by the thousand; local time costs a time-zone look-up, so
    // the text is made once per second.
    const qint64 now = Clock::currentSecsSinceEpoch();
    if (now != m_scanTimeSecs) {
        m_scanTimeSecs = now;
        m_scanTimeText = Clock::currentDateTime().toString(QStringLiteral("M/d/yyyy h:mm AP"));
    }
    return m_scanTimeText;
}

void SqlModel::clearNonMaliciousEntries()
{
    qDebug() << "SqlModel::clearNonMaliciousEntries() called";
    exec(statement("DELETE FROM %1 WHERE detection_rate = -1"));
    vacuum();
    emitFileCountChanged();
    select();
}

void SqlModel::clearAbortedEntries()
{
    qDebug() << "SqlModel::clearAbortedEntries() called";
    exec(statement("DELETE FROM %1 WHERE check_state != %2 OR check_state ISNULL")
             .arg(int(Checked)));
    vacuum();
    select();
}

void SqlModel::clearQuickScanFiles()
{
    qDebug() << "SqlModel::clearQuickScanFiles() called";
    exec(statement("DELETE FROM %1 WHERE detection_rate == -1 AND scan_type == %2").arg(0));
    vacuum();
    emitFileCountChanged();
    select();
}

void SqlModel::loadFileInfo(QList<QString> p_file_info)
{
    qDebug() << "SqlModel::loadFileInfo() called";
    QSqlQuery insert(database());
    insert.prepare(statement("INSERT INTO %1 (name, path, md5, sha1, size, detection_rate, "
                             "last_seen, check_state, status) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    {
        const Transaction transaction(database());
        for (const QString &packed : std::as_const(p_file_info)) {
            QStringList fields;
            if (!unpackFileInfoRecord(packed, &fields)) {
                qWarning().noquote()
                    << QStringLiteral("SqlModel::loadFileInfo() couldn't unpack data '%1'")
                           .arg(packed);
                continue;
            }
            // Fields come as name, md5, sha1, path, size, rate, last seen, check
            // state, status; the statement names them as name, path, md5, sha1, ...
            for (int field : {0, 3, 1, 2, 4, 5, 6, 7, 8})
                insert.addBindValue(fields.at(field));
            exec(insert);
        }
    }
    select();
    emitFileCountChanged();
    beginResetModel();
    endResetModel();
}

void SqlModel::exportTable()
{
    DataExporter exporter;
    exportTable(exporter);
}

void SqlModel::exportTable(DataExporter &exporter)
{
    qDebug() << "SqlModel::exportTable() called";
    QFile file;
    if (!exporter.openExportFile(file))
        return;

    QSqlQuery rows(database());
    rows.setForwardOnly(true);
    if (!rows.exec(statement("SELECT * FROM %1"))) {
        logSqlError(rows);
        file.close();
        throw tr("Unable to query the database.");
    }
    QTextStream stream(&file);
    exporter.exportItems(rows, stream);
    stream.flush();
    // A full disk or a vanished medium must not look like a finished export.
    const bool written = stream.status() == QTextStream::Ok && file.error() == QFile::NoError;
    file.close();
    if (!written || file.error() != QFile::NoError)
        throw tr("Unable to write the file '%1'.").arg(file.fileName());
}

void SqlModel::userSetFilter(QString p_filter_text)
{
    // The table shows names in their readable form (FileName::readable), so
    // text copied from it, or from the command line's output, is read back
    // into the stored form; the text as typed is matched too.
    const QString column = QStringLiteral("path");
    const QString stored = FileName::fromReadable(p_filter_text);
    QString sqlFilter = SqlLike::containsFilter(column, p_filter_text);
    if (stored != p_filter_text && !stored.contains(QChar::Null))
        sqlFilter =
            QStringLiteral("(%1 OR %2)").arg(sqlFilter, SqlLike::containsFilter(column, stored));
    // setFilter() re-selects only after a select that worked.
    const bool reselects = query().isActive();
    setFilter(sqlFilter);
    if (!reselects)
        select();
    qDebug().noquote()
        << QStringLiteral("SqlModel::userSetFilter() sql filter is [%1]").arg(sqlFilter);
}

void SqlModel::fetchAll()
{
    while (canFetchMore())
        fetchMore();
}

void SqlModel::setData(QString, int, QVariant) {}

void SqlModel::setOrvexData(QString, int, QVariant) {}

QList<QString> SqlModel::filesToDigest(int limit)
{
    qDebug().noquote()
        << QStringLiteral("SqlModel:filesToDigest() called with limit %1").arg(limit);
    QList<QString> paths;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    if (!query.exec(statement("SELECT path FROM %1 WHERE md5 ISNULL LIMIT %2").arg(limit))) {
        logSqlError(query);
        return paths;
    }
    while (query.next())
        paths.append(query.value(0).toString());
    return paths;
}

QList<QString> SqlModel::pathsFromDigest(const QString &md5)
{
    QList<QString> paths;
    m_selectPathsForDigest.addBindValue(md5);
    if (!exec(m_selectPathsForDigest))
        return paths;
    while (m_selectPathsForDigest.next()) {
        const QString path = m_selectPathsForDigest.value(0).toString();
        if (path.isEmpty())
            qWarning().noquote() << QStringLiteral(
                                        "SqlModel::pathsFromDigest() got an empty path for '%1'")
                                        .arg(md5);
        paths.append(path);
    }
    m_selectPathsForDigest.finish();
    return paths;
}

int SqlModel::fileCount()
{
    return count(statement("SELECT COUNT(*) FROM %1"));
}

int SqlModel::maliciousEntryCount()
{
    qDebug() << "SqlModel::maliciousEntryCount() called";
    return count(statement("SELECT COUNT(*) FROM %1 WHERE check_state == %2 AND detection_rate > 0")
                     .arg(int(Checked)));
}

QString SqlModel::fileFPData(int row) const
{
    qDebug() << "SqlModel::fileFPData() called";
    const QString packed =
        QStringLiteral("%1|%2|%3")
            .arg(cell(row, Md5Section).toString(), cell(row, Sha1Section).toString(),
                 cell(row, PathSection).toString());
    qDebug().noquote() << QStringLiteral("SqlModel::fileFPData() packed_data is %1").arg(packed);
    return packed;
}

QList<QString> SqlModel::filePaths(const QList<int> &rows) const
{
    qDebug() << "SqlModel::filePaths() called";
    QList<QString> paths;
    paths.reserve(rows.size());
    for (int row : rows)
        paths.append(rowPath(row));
    return paths;
}

void SqlModel::removeRows(const QList<int> &rows)
{
    qDebug().noquote()
        << QStringLiteral("SqlModel::removeRows() called with %1 rows").arg(rows.size());
    QSqlQuery remove(database());
    remove.prepare(statement(
        "DELETE FROM %1 WHERE path == ? COLLATE BINARY AND (scan_time == ? OR scan_time ISNULL)"));
    {
        const Transaction transaction(database());
        for (int row : rows) {
            qDebug().noquote() << QStringLiteral("\trow is %1").arg(row);
            const QString path = rowPath(row);
            if (isRowMalicious(row))
                Q_EMIT malwareRemoved(path);
            remove.addBindValue(path);
            remove.addBindValue(cell(row, ScanTimeSection));
            exec(remove);
        }
    }
    vacuum();
    select();
}

void SqlModel::setOrderByClause(const QString &clause)
{
    m_orderByClause = clause;
}

QString SqlModel::columnName(int section) const
{
    return m_headers.keys().value(section);
}

bool SqlModel::isRowMalicious(int row) const
{
    return rowCheckState(row) == Checked && cell(row, DetectionRateSection).toInt() >= 1;
}

int SqlModel::rowCheckState(int row) const
{
    return cell(row, CheckStateSection).toInt();
}

QString SqlModel::rowPath(int row) const
{
    return cell(row, PathSection).toString();
}
