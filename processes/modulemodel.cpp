#include "processes/modulemodel.h"

#include "files/sqlmodel.h"
#include "processes/modulerecord.h"
#include "registry/orvexcheckstate.h"

#include <QDebug>
#include <QDir>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QSqlDatabase>
#include <QSqlError>

namespace {
const QString TableName = QStringLiteral("modules");
// The fields of a row as a module packed record identifies it.
const char RecordMatch[] = "parent_pid == ? AND path == ? AND base_name == ?";
// One file: its path and identity ("IS" matches a missing identity too).
const char FileMatch[] = "path == ? AND file_id IS ?";

QString statement(const char *text)
{
    return QString::fromLatin1(text).arg(TableName);
}

QVariant nullable(const QString &text)
{
    return text.isNull() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text);
}

void logUnpackFailure(const char *method, const QString &record)
{
    qWarning().noquote() << QStringLiteral("ModuleModel::%1() couldn't unpack '%2'")
                                .arg(QLatin1String(method), record);
}
} // namespace

ModuleModel::ModuleModel(QObject *parent) : QSqlTableModel(parent)
{
    m_columns = QStringList{QStringLiteral("parent_pid"),
                            QStringLiteral("base_name"),
                            QStringLiteral("path"),
                            QStringLiteral("md5"),
                            QStringLiteral("sha1"),
                            QStringLiteral("status"),
                            QStringLiteral("detection_percentage"),
                            QStringLiteral("orvex_state"),
                            QStringLiteral("is_loaded")};

    const QSqlDatabase db = database();
    QSqlQuery create(db);
    // Paths and names compare as bytes: Linux tells "Lib.so" from "lib.so".
    if (!create.exec(statement(
            "CREATE TABLE %1 (id INTEGER PRIMARY KEY,base_name TEXT COLLATE BINARY,path TEXT "
            "COLLATE BINARY,md5 TEXT COLLATE NOCASE,sha1 TEXT COLLATE NOCASE,size TEXT,is_loaded "
            "INTEGER,parent_pid INTEGER,detection_percentage INTEGER,friendly_date TEXT,bytes "
            "INTEGER,scan_type INTEGER,last_seen TEXT,scan_time TEXT,orvex_state INTEGER,status "
            "INTEGER,file_id TEXT COLLATE BINARY)"))) {
        SqlModel::logSqlError(create);
        return;
    }
    for (const char *index : {"CREATE INDEX idx_md5_modules ON %1( md5 )",
                              "CREATE INDEX idx_path_modules ON %1( path )",
                              "CREATE INDEX idx_parent_pid ON %1( parent_pid )"}) {
        QSqlQuery query(db);
        if (!query.exec(statement(index)))
            SqlModel::logSqlError(query);
    }

    m_insert = prepared(statement("INSERT INTO %1 (parent_pid, path, base_name, is_loaded, "
                                  "orvex_state, file_id) VALUES( ?, ?, ?, ?, ?, ? )"));
    m_findRow =
        prepared(statement("SELECT id, file_id FROM %1 WHERE ") + QLatin1String(RecordMatch));
    m_reload = prepared(statement("UPDATE %1 SET is_loaded = 1 WHERE id == ?"));
    m_restart = prepared(
        statement("UPDATE %1 SET file_id = ?, md5 = NULL, sha1 = NULL, detection_percentage = "
                  "NULL, friendly_date = NULL, status = NULL, orvex_state = ?, is_loaded = 1 "
                  "WHERE id == ?"));
    m_copy = prepared(statement("SELECT md5, sha1, size, detection_percentage, friendly_date, "
                                "bytes, last_seen, scan_time, orvex_state, status FROM %1 WHERE ") +
                      QLatin1String(FileMatch) + QLatin1String(" AND md5 NOT NULL"));
    m_setDigests =
        prepared(statement("UPDATE %1 SET md5 = ?, sha1 = ? WHERE ") + QLatin1String(FileMatch));
    m_rowVerdict = prepared(statement("SELECT detection_percentage FROM %1 WHERE ") +
                            QLatin1String(RecordMatch));
    m_unload =
        prepared(statement("UPDATE %1 SET is_loaded = ? WHERE ") + QLatin1String(RecordMatch));
    m_delete = prepared(statement("DELETE FROM %1 WHERE ") + QLatin1String(RecordMatch));

    setTable(TableName);
    setEditStrategy(QSqlTableModel::OnFieldChange);
    select();
    const QStringList titles{tr("Parent PID"),
                             tr("Name"),
                             tr("Path"),
                             tr("MD5"),
                             tr("SHA-1"),
                             tr("Status"),
                             tr("Detection Percentage"),
                             tr("Orvex State"),
                             tr("Loaded")};
    for (int section = 0; section < titles.size(); ++section)
        setHeaderData(section, Qt::Horizontal, titles.at(section), Qt::EditRole);
}

ModuleModel::~ModuleModel() = default;

QSqlQuery ModuleModel::prepared(const QString &text)
{
    QSqlQuery query(database());
    if (!query.prepare(text))
        SqlModel::logSqlError(query);
    return query;
}

bool ModuleModel::exec(QSqlQuery &query)
{
    if (query.exec())
        return true;
    SqlModel::logSqlError(query);
    return false;
}

QString ModuleModel::statusText(int state)
{
    switch (state) {
    case UnableToCheck:
        return tr("Unable to check against malware database.");
    case Checked:
        return tr("Checked against the malware database.");
    default:
        return QString();
    }
}

QString ModuleModel::selectStatement() const
{
    qDebug().noquote() << QStringLiteral("select statement m_filter_pid is %1").arg(m_filterPid);
    QString text =
        QStringLiteral("SELECT %1 FROM %2").arg(m_columns.join(QStringLiteral(", ")), TableName);
    if (m_filterPid != 0)
        text += QStringLiteral(" WHERE parent_pid == %1").arg(m_filterPid);
    if (!m_orderBy.isEmpty())
        text += m_orderBy;
    return text;
}

void ModuleModel::setFilterPID(quint32 p_pid)
{
    qDebug().noquote() << QStringLiteral("ModuleModel::setFilterPID( %1 ) called").arg(p_pid);
    m_filterPid = p_pid;
    select();
}

void ModuleModel::setOrderByClause(QString p_clause)
{
    if (!p_clause.isEmpty() && !p_clause.startsWith(u' '))
        p_clause.prepend(u' ');
    m_orderBy = p_clause;
}

void ModuleModel::handleOrvexQueryFinished()
{
    select();
}

QVariant ModuleModel::cell(int row, int section) const
{
    return QSqlTableModel::data(index(row, section), Qt::EditRole);
}

bool ModuleModel::isLoaded(int row) const
{
    return cell(row, IsLoadedSection).toInt() == 1;
}

bool ModuleModel::isMalware(int row) const
{
    return cell(row, DetectionPercentageSection).toInt() > 0;
}

int ModuleModel::orvexState(int row) const
{
    return cell(row, OrvexStateSection).toInt();
}

QVariant ModuleModel::data(const QModelIndex &item, int role) const
{
    if (!item.isValid())
        return QVariant();
    const int row = item.row();
    switch (role) {
    case Qt::BackgroundRole:
        if (isMalware(row))
            return isLoaded(row) ? m_highlight : m_unloaded;
        switch (orvexState(row)) {
        case NotChecked:
        case Checking:
            return QColor(Qt::lightGray);
        case UnableToCheck:
            return QColor(Qt::darkGray);
        default:
            return QSqlTableModel::data(item, role);
        }
    case Qt::ForegroundRole:
        if (isMalware(row) && !isLoaded(row))
            return QColor(Qt::white);
        return QSqlTableModel::data(item, role);
    case Qt::FontRole:
        // The digests line up in the system's fixed-width font; fonts need a
        // GUI application.
        if ((item.column() == Md5Section || item.column() == Sha1Section) &&
            qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
            return QFontDatabase::systemFont(QFontDatabase::FixedFont);
        return QSqlTableModel::data(item, role);
    default:
        return QSqlTableModel::data(item, role);
    }
}

QList<QString> ModuleModel::moduleRecords()
{
    QList<QString> records;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    if (!query.exec(statement("SELECT parent_pid, path, base_name FROM %1"))) {
        SqlModel::logSqlError(query);
        return records;
    }
    while (query.next())
        records.append(ModuleRecord::pack(query.value(0).toUInt(), query.value(1).toString(),
                                          query.value(2).toString()));
    return records;
}

QHash<QString, QString> ModuleModel::loadedModuleFiles()
{
    QHash<QString, QString> files;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    if (!query.exec(statement(
            "SELECT parent_pid, path, base_name, file_id FROM %1 WHERE is_loaded == 1"))) {
        SqlModel::logSqlError(query);
        return files;
    }
    while (query.next())
        files.insert(ModuleRecord::pack(query.value(0).toUInt(), query.value(1).toString(),
                                        query.value(2).toString()),
                     query.value(3).toString());
    return files;
}

void ModuleModel::addModules(QList<QString> p_modules)
{
    addModules(p_modules, QHash<QString, QString>());
}

void ModuleModel::addModules(const QList<QString> &records, const QHash<QString, QString> &fileIds)
{
    if (records.isEmpty())
        return;
    QSqlDatabase db = database();
    const bool transaction = db.transaction();
    QList<QString> toDigest;
    for (const QString &record : records)
        addModule(record, fileIds.value(record), &toDigest);
    if (transaction && !db.commit())
        qWarning().noquote() << QStringLiteral("SQL ERROR for query [%1]: '%2'")
                                    .arg(QStringLiteral("COMMIT"), db.lastError().text());
    Q_EMIT modulesAdded(toDigest);
    select();
}

void ModuleModel::addModule(const QString &record, const QString &fileId, QList<QString> *toDigest)
{
    quint32 pid = 0;
    QString path, name;
    if (!ModuleRecord::unpack(record, &pid, &path, &name)) {
        logUnpackFailure("addModules", record);
        return;
    }
    path = QDir::toNativeSeparators(path);

    m_findRow.addBindValue(pid);
    m_findRow.addBindValue(path);
    m_findRow.addBindValue(name);
    qint64 id = -1;
    QString storedFileId;
    if (exec(m_findRow) && m_findRow.next()) {
        id = m_findRow.value(0).toLongLong();
        storedFileId = m_findRow.value(1).toString();
    }
    m_findRow.finish();

    if (id >= 0 && storedFileId == fileId) {
        // A module unloaded and loaded again: the row and its verdict stay.
        m_reload.addBindValue(id);
        exec(m_reload);
        return;
    }
    if (id >= 0) {
        // The same path now maps another file (replaced on disk, loaded again).
        m_restart.addBindValue(nullable(fileId));
        m_restart.addBindValue(int(Checking));
        m_restart.addBindValue(id);
        exec(m_restart);
    } else {
        m_insert.addBindValue(pid);
        m_insert.addBindValue(path);
        m_insert.addBindValue(name);
        m_insert.addBindValue(1);
        m_insert.addBindValue(int(Checking));
        m_insert.addBindValue(nullable(fileId));
        exec(m_insert);
    }
    if (!copyData(record, fileId))
        toDigest->append(ModuleRecord::pack(pid, path, name));
}

bool ModuleModel::copyData(const QString &record, const QString &fileId)
{
    quint32 pid = 0;
    QString path, name;
    if (!ModuleRecord::unpack(record, &pid, &path, &name)) {
        logUnpackFailure("copyData", record);
        return false;
    }
    path = QDir::toNativeSeparators(path);
    m_copy.addBindValue(path);
    m_copy.addBindValue(nullable(fileId));
    if (!exec(m_copy))
        return false;
    if (!m_copy.next()) {
        m_copy.finish();
        return false;
    }
    const QString md5 = m_copy.value(0).toString();
    const QString sha1 = m_copy.value(1).toString();
    const QVariant rate = m_copy.value(3);
    const QString lastSeen = m_copy.value(4).toString();
    const int state = m_copy.value(8).toInt();
    m_copy.finish();

    setFileDigests(path, fileId, sha1, md5);
    // Only a verdict that was given: a digest still awaiting its answer gets
    // it for every row of the digest when it comes.
    if (state == Checked && !rate.isNull())
        setOrvexDataPacked(QStringLiteral("%1|%2|%3").arg(md5, rate.toString(), lastSeen));
    else if (state == UnableToCheck)
        setOrvexDataUnanswered(md5);
    return true;
}

void ModuleModel::setFileDigests(const QString &path, const QString &fileId, const QString &sha1,
                                 const QString &md5)
{
    m_setDigests.addBindValue(md5);
    m_setDigests.addBindValue(sha1);
    m_setDigests.addBindValue(path);
    m_setDigests.addBindValue(nullable(fileId));
    exec(m_setDigests);
}

void ModuleModel::setDigestData(QString p_digest_data)
{
    // "path|sha1|md5": the path may hold "|", the digests do not.
    const qsizetype md5Bar = p_digest_data.lastIndexOf(u'|');
    const qsizetype sha1Bar = md5Bar > 0 ? p_digest_data.lastIndexOf(u'|', md5Bar - 1) : -1;
    if (sha1Bar < 0) {
        qWarning().noquote() << QStringLiteral("ModuleModel::setDigestData() couldn't unpack [%1]")
                                    .arg(p_digest_data);
        return;
    }
    QSqlQuery query(database());
    query.prepare(statement("UPDATE %1 SET md5 = ?, sha1 = ? WHERE path == ?"));
    query.addBindValue(p_digest_data.mid(md5Bar + 1));
    query.addBindValue(p_digest_data.mid(sha1Bar + 1, md5Bar - sha1Bar - 1));
    query.addBindValue(p_digest_data.left(sha1Bar));
    exec(query);
}

void ModuleModel::setFileUnreadable(const QString &path, const QString &fileId,
                                    const QList<quint32> &pids)
{
    QSqlQuery query(database());
    query.prepare(statement("UPDATE %1 SET orvex_state = ?, status = ? WHERE ") +
                  QLatin1String(FileMatch) + QLatin1String(" AND md5 IS NULL AND parent_pid == ?"));
    for (const quint32 pid : pids) {
        query.addBindValue(int(UnableToCheck));
        query.addBindValue(statusText(UnableToCheck));
        query.addBindValue(path);
        query.addBindValue(nullable(fileId));
        query.addBindValue(pid);
        exec(query);
    }
}

QList<quint32> ModuleModel::pidsAwaitingDigests(const QString &path, const QString &fileId)
{
    QList<quint32> pids;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(statement("SELECT parent_pid FROM %1 WHERE ") + QLatin1String(FileMatch) +
                  QLatin1String(" AND md5 IS NULL AND orvex_state == ? ORDER BY id"));
    query.addBindValue(path);
    query.addBindValue(nullable(fileId));
    query.addBindValue(int(Checking));
    if (!exec(query))
        return pids;
    while (query.next())
        pids.append(query.value(0).toUInt());
    return pids;
}

void ModuleModel::setOrvexDataPacked(QString p_packed_data)
{
    const QStringList fields = p_packed_data.split(u'|');
    if (fields.size() != 3) {
        qWarning().noquote() << QStringLiteral(
                                    "ModuleModel::setOrvexDataPacked() couldn't unpack '%1'")
                                    .arg(p_packed_data);
        return;
    }
    const QString &digest = fields.at(0);
    bool converted = false;
    int rate = fields.at(1).toInt(&converted, 10);
    if (!converted) {
        qCritical().noquote()
            << QStringLiteral(
                   "ModuleModel::setOrvexDataPacked() couldn't convert detection rate [%1]")
                   .arg(fields.at(1));
        rate = 0;
    }

    // Each loaded row that takes this verdict now is one process using the
    // module: an answer given again, or copied to a row that had it, tells
    // of nobody new.
    QList<QPair<QString, quint32>> marked;
    if (rate > 0) {
        QSqlQuery rows(database());
        rows.setForwardOnly(true);
        rows.prepare(statement("SELECT path, parent_pid FROM %1 WHERE md5 == ? AND is_loaded == 1 "
                               "AND (orvex_state IS NOT ? OR detection_percentage IS NOT ?) "
                               "ORDER BY id"));
        rows.addBindValue(digest);
        rows.addBindValue(int(Checked));
        rows.addBindValue(rate);
        if (exec(rows)) {
            while (rows.next())
                marked.append({rows.value(0).toString(), rows.value(1).toUInt()});
        }
    }

    QSqlQuery update(database());
    update.prepare(statement("UPDATE %1 SET detection_percentage = ?, friendly_date = ?, status = "
                             "?, orvex_state = ? WHERE md5 == ?"));
    update.addBindValue(rate);
    update.addBindValue(fields.at(2));
    update.addBindValue(statusText(Checked));
    update.addBindValue(int(Checked));
    update.addBindValue(digest);
    exec(update);

    for (const auto &[path, pid] : std::as_const(marked))
        Q_EMIT malwareFound(path, pid);
}

void ModuleModel::setOrvexDataUnanswered(QString p_md5)
{
    QSqlQuery query(database());
    query.prepare(statement(
        "UPDATE %1 SET orvex_state = ?, status = ? WHERE md5 == ? AND orvex_state IS NOT ?"));
    query.addBindValue(int(UnableToCheck));
    query.addBindValue(statusText(UnableToCheck));
    query.addBindValue(p_md5);
    query.addBindValue(int(Checked));
    exec(query);
}

void ModuleModel::removeModules(QList<QString> p_modules)
{
    if (p_modules.isEmpty())
        return;
    QSqlDatabase db = database();
    const bool transaction = db.transaction();
    for (const QString &record : std::as_const(p_modules)) {
        quint32 pid = 0;
        QString path, name;
        if (!ModuleRecord::unpack(record, &pid, &path, &name)) {
            logUnpackFailure("removeModules", record);
            continue;
        }
        path = QDir::toNativeSeparators(path);
        // The row's own verdict: another file of the same path may have another.
        m_rowVerdict.addBindValue(pid);
        m_rowVerdict.addBindValue(path);
        m_rowVerdict.addBindValue(name);
        const bool malicious =
            exec(m_rowVerdict) && m_rowVerdict.next() && m_rowVerdict.value(0).toInt() > 0;
        m_rowVerdict.finish();
        QSqlQuery &change = malicious ? m_unload : m_delete;
        if (malicious)
            change.addBindValue(0);
        change.addBindValue(pid);
        change.addBindValue(path);
        change.addBindValue(name);
        exec(change);
    }
    if (transaction && !db.commit())
        qWarning().noquote() << QStringLiteral("SQL ERROR for query [%1]: '%2'")
                                    .arg(QStringLiteral("COMMIT"), db.lastError().text());
    select();
}

quint32 ModuleModel::pidFromDigest(const QString &md5)
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(statement("SELECT parent_pid FROM %1 WHERE md5 = ?"));
    query.addBindValue(md5);
    quint32 pid = 0;
    if (exec(query) && query.next())
        pid = query.value(0).toUInt();
    qDebug().noquote()
        << QStringLiteral("ModuleModel::pidFromDigest( %1 ) pid is %2").arg(md5).arg(pid);
    return pid;
}

QString ModuleModel::pathFromDigest(const QString &md5)
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(statement("SELECT path FROM %1 WHERE md5 = ?"));
    query.addBindValue(md5);
    QString path;
    if (exec(query) && query.next())
        path = query.value(0).toString();
    qDebug().noquote()
        << QStringLiteral("ModuleModel::pathFromDigest( %1 ) path is %2").arg(md5, path);
    return path;
}

QString ModuleModel::digestFromPath(const QString &path)
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(statement("SELECT md5 FROM %1 WHERE path == ?"));
    query.addBindValue(path);
    QString md5;
    if (exec(query) && query.next())
        md5 = query.value(0).toString();
    qDebug().noquote()
        << QStringLiteral("ModuleModel::digestFromPath( %1 ) digest is %2").arg(path, md5);
    return md5;
}

bool ModuleModel::isModuleMalware(const QString &md5)
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(statement("SELECT detection_percentage FROM %1 WHERE md5 = ?"));
    query.addBindValue(md5);
    return exec(query) && query.next() && query.value(0).toInt() > 0;
}
