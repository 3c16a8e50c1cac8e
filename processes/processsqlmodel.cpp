#include "processes/processsqlmodel.h"

#include "files/sqllike.h"
#include "files/sqlmodel.h"
#include "processes/processrecord.h"
#include "processes/winprocess.h"
#include "registry/orvexcheckstate.h"

#include <QDebug>
#include <QSize>
#include <QSqlDatabase>
#include <QSqlError>

namespace {
const QString TableName = QStringLiteral("processes");
// The fields of a row as a process packed record identifies it.
const char RecordMatch[] = "pid == ? AND base_name == ? AND parent_pid == ?";

QString statement(const char *text)
{
    return QString::fromLatin1(text).arg(TableName);
}
} // namespace

ProcessSqlModel::ProcessSqlModel(QObject *parent) : QSqlTableModel(parent)
{
    m_columns = QStringList{QStringLiteral("small_icon"),
                            QStringLiteral("base_name"),
                            QStringLiteral("detection_percentage"),
                            QStringLiteral("pid"),
                            QStringLiteral("parent_pid"),
                            QStringLiteral("file_path"),
                            QStringLiteral("md5"),
                            QStringLiteral("sha1"),
                            QStringLiteral("large_icon"),
                            QStringLiteral("orvex_state"),
                            QStringLiteral("is_alive"),
                            QStringLiteral("status"),
                            QStringLiteral("malicious_module_count")};

    m_selectTimer.setSingleShot(true);
    m_selectTimer.setInterval(0);
    connect(&m_selectTimer, &QTimer::timeout, this, &ProcessSqlModel::selectNow);

    const QSqlDatabase db = database();
    QSqlQuery create(db);
    if (!create.exec(QStringLiteral(
            "CREATE TABLE processes (id INTEGER PRIMARY KEY,pid INTEGER,base_name TEXT COLLATE "
            "NOCASE,file_path TEXT,md5 TEXT,sha1 TEXT,is_alive INTEGER,malicious_module_count "
            "INTEGER,parent_pid INTEGER,orvex_state INTEGER,detection_percentage "
            "INTEGER,friendly_date TEXT,small_icon TEXT,large_icon TEXT,status TEXT)"))) {
        SqlModel::logSqlError(create);
        return;
    }
    // Rows are found by pid with every property and by digest with every verdict.
    for (const char *index : {"CREATE INDEX idx_pid_processes ON %1( pid )",
                              "CREATE INDEX idx_md5_processes ON %1( md5 )"}) {
        QSqlQuery query(db);
        if (!query.exec(statement(index)))
            SqlModel::logSqlError(query);
    }

    m_insert = QSqlQuery(db);
    m_insert.prepare(statement("INSERT INTO %1 (pid, base_name, parent_pid, is_alive, "
                               "malicious_module_count, orvex_state) VALUES( ?, ?, ?, ?, ?, ? )"));
    m_setAlive = QSqlQuery(db);
    m_setAlive.prepare(statement("UPDATE %1 SET is_alive = ? WHERE ") + QLatin1String(RecordMatch));
    m_delete = QSqlQuery(db);
    m_delete.prepare(statement("DELETE FROM %1 WHERE ") + QLatin1String(RecordMatch));
    m_rowState = QSqlQuery(db);
    m_rowState.setForwardOnly(true);
    m_rowState.prepare(statement("SELECT md5, orvex_state FROM %1 WHERE ") +
                       QLatin1String(RecordMatch));
    m_answer = QSqlQuery(db);
    m_answer.prepare(statement("UPDATE %1 SET detection_percentage = ?, friendly_date = ?, status "
                               "= ?, orvex_state = ? WHERE md5 == ?"));
    m_deleteEndedClean = QSqlQuery(db);
    m_deleteEndedClean.prepare(statement("DELETE FROM %1 WHERE md5 == ? AND is_alive == 0"));

    setTable(TableName);
    setEditStrategy(QSqlTableModel::OnFieldChange);
    if (select())
        qDebug() << "process select ok";
    else
        qDebug() << "process select failed";
    qDebug().noquote() << "select statement:" << selectStatement();
}

ProcessSqlModel::~ProcessSqlModel() = default;

QString ProcessSqlModel::selectStatement() const
{
    QString text =
        QStringLiteral("SELECT %1 FROM %2").arg(m_columns.join(QStringLiteral(", ")), TableName);
    if (!filter().isEmpty())
        text += QStringLiteral(" WHERE %1").arg(filter());
    text += QStringLiteral(" ORDER BY base_name ASC");
    return text;
}

bool ProcessSqlModel::select()
{
    const bool selected = QSqlTableModel::select();
    while (canFetchMore())
        fetchMore();
    return selected;
}

int ProcessSqlModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : QSqlTableModel::rowCount();
}

QVariant ProcessSqlModel::cell(int row, int section) const
{
    return QSqlTableModel::data(index(row, section), Qt::EditRole);
}

QVariant ProcessSqlModel::data(const QModelIndex &item, int role) const
{
    if (!item.isValid())
        return QVariant();
    const int column = item.column();
    if (column == SmallIconSection || column == LargeIconSection) {
        if (role == Qt::EditRole) {
            // Every row carries one of very few icons: each is decoded once.
            const QString text = QSqlTableModel::data(item, Qt::EditRole).toString();
            auto found = m_pixmaps.constFind(text);
            if (found == m_pixmaps.constEnd()) {
                QPixmap pixmap;
                pixmap.loadFromData(QByteArray::fromBase64(text.toLatin1()));
                found = m_pixmaps.insert(text, pixmap);
            }
            return *found;
        }
        if (role == Qt::SizeHintRole)
            return QSize(16, 16);
    }
    const int row = item.row();
    if (role == Qt::BackgroundRole) {
        if (isMalware(row) || hasMaliciousModules(row))
            return isAlive(row) ? m_highlight : m_ended;
        switch (orvexState(row)) {
        case NotChecked:
        case Checking:
            return QColor(Qt::lightGray);
        case UnableToCheck:
            return QColor(Qt::darkGray);
        default:
            return QVariant();
        }
    }
    if (role == Qt::ForegroundRole && (isMalware(row) || hasMaliciousModules(row)) && !isAlive(row))
        return QColor(Qt::white);
    if (column == IsAliveSection && role == Qt::EditRole)
        return cell(row, IsAliveSection).toInt() == 0 ? tr("No") : tr("Yes");
    return QSqlTableModel::data(item, role);
}

QString ProcessSqlModel::baseName(int row) const
{
    return cell(row, BaseNameSection).toString();
}

QPixmap ProcessSqlModel::smallIcon(int row) const
{
    return data(index(row, SmallIconSection), Qt::EditRole).value<QPixmap>();
}

quint32 ProcessSqlModel::rowPid(int row) const
{
    return cell(row, PidSection).toUInt();
}

int ProcessSqlModel::orvexState(int row) const
{
    return cell(row, OrvexStateSection).toInt();
}

bool ProcessSqlModel::isMalware(int row) const
{
    return cell(row, DetectionPercentageSection).toInt() > 0;
}

bool ProcessSqlModel::hasMaliciousModules(int row) const
{
    return cell(row, MaliciousModuleCountSection).toInt() > 0;
}

bool ProcessSqlModel::isAlive(int row) const
{
    return cell(row, IsAliveSection).toInt() == 1;
}

QString ProcessSqlModel::processFPData(int row) const
{
    return QStringLiteral("%1|%2|%3")
        .arg(cell(row, Md5Section).toString(), cell(row, Sha1Section).toString(),
             cell(row, FilePathSection).toString());
}

bool ProcessSqlModel::unpackRecord(const QString &record, QStringList *parts)
{
    QString pid, name, parentPid;
    if (!ProcessRecord::split(record, &pid, &name, &parentPid))
        return false;
    *parts = QStringList{pid, name, parentPid};
    return true;
}

QString ProcessSqlModel::statusText(int state)
{
    switch (state) {
    case NotChecked:
        return tr("Not checked.");
    case UnableToCheck:
        return tr("Unable to check against malware database.");
    case Checking:
        return tr("Checking against the malware database.");
    case Checked:
        return tr("Checked against the malware database.");
    default:
        return QString();
    }
}

bool ProcessSqlModel::exec(QSqlQuery &query)
{
    if (query.exec())
        return true;
    SqlModel::logSqlError(query);
    return false;
}

void ProcessSqlModel::bindRecord(QSqlQuery &query, quint32 pid, const QString &name,
                                 quint32 parentPid)
{
    query.addBindValue(pid);
    query.addBindValue(name);
    query.addBindValue(parentPid);
}

void ProcessSqlModel::scheduleSelect()
{
    m_selectTimer.start();
}

void ProcessSqlModel::selectNow()
{
    m_selectTimer.stop();
    select();
}

void ProcessSqlModel::setOrvexData(QString, int, QVariant) {}

void ProcessSqlModel::setOrvexDataPacked(QString p_packed_data)
{
    const QStringList fields = p_packed_data.split(u'|');
    if (fields.size() != 3) {
        qWarning().noquote() << QStringLiteral(
                                    "ProcessSqlModel::setOrvexDataPacked() couldn't unpack '%1'")
                                    .arg(p_packed_data);
        return;
    }
    const QString &digest = fields.at(0);
    bool converted = false;
    int rate = fields.at(1).toInt(&converted, 10);
    if (!converted) {
        qCritical().noquote()
            << QStringLiteral(
                   "ProcessSqlModel::setOrvexDataPacked() couldn't convert detection rate [%1]")
                   .arg(fields.at(1));
        rate = 0;
    }
    m_answer.addBindValue(rate);
    m_answer.addBindValue(fields.at(2));
    m_answer.addBindValue(statusText(Checked));
    m_answer.addBindValue(int(Checked));
    m_answer.addBindValue(digest);
    exec(m_answer);
    if (rate > 0) {
        const QString path = pathFromDigest(digest);
        const quint32 pid = pidFromDigest(digest);
        // No row holds the digest any more: there is no process to tell of.
        if (pid != 0)
            Q_EMIT malwareFound(path, pid);
    } else {
        // Processes that ended while this verdict was awaited were kept for
        // it; clean, they go now.
        m_deleteEndedClean.addBindValue(digest);
        exec(m_deleteEndedClean);
    }
    scheduleSelect();
}

void ProcessSqlModel::setData(QString p_packed_data, int p_process_property_enum, QVariant p_data)
{
    quint32 pid = 0, parentPid = 0;
    QString name;
    if (!ProcessRecord::unpack(p_packed_data, &pid, &name, &parentPid)) {
        qWarning().noquote()
            << QStringLiteral("ProcessSqlModel::setData() couldn't unpack '%1'").arg(p_packed_data);
        return;
    }
    QString column;
    QVariant value;
    switch (p_process_property_enum) {
    case WinProcess::FilePath:
        column = QStringLiteral("file_path");
        value = p_data.toString();
        break;
    case WinProcess::OrvexState: {
        // Only the text: the state column keeps its value.
        column = QStringLiteral("status");
        const QString text = statusText(p_data.toInt());
        value = text.isNull() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text);
        break;
    }
    case WinProcess::SmallIcon:
        column = QStringLiteral("small_icon");
        value = QString::fromLatin1(p_data.toByteArray().toBase64());
        break;
    case WinProcess::LargeIcon:
        column = QStringLiteral("large_icon");
        value = QString::fromLatin1(p_data.toByteArray().toBase64());
        break;
    case WinProcess::SHA1:
        column = QStringLiteral("sha1");
        value = p_data.toString();
        break;
    case WinProcess::MD5:
        column = QStringLiteral("md5");
        value = p_data.toString();
        break;
    default:
        qWarning().noquote()
            << QStringLiteral("ProcessSqlModel::setData() hit default case with data string %1")
                   .arg(p_data.toString());
        return;
    }
    auto update = m_setColumn.find(column);
    if (update == m_setColumn.end()) {
        QSqlQuery query(database());
        query.prepare(QStringLiteral("UPDATE processes SET %1 = ? WHERE ").arg(column) +
                      QLatin1String(RecordMatch));
        update = m_setColumn.insert(column, query);
    }
    update->addBindValue(value);
    bindRecord(*update, pid, name, parentPid);
    if (exec(*update))
        scheduleSelect();
}

void ProcessSqlModel::addProcesses(QList<QString> p_processes)
{
    qDebug().noquote() << QStringLiteral("ProcessSqlModel::addProcesses() got %1 new processes.")
                              .arg(p_processes.size());
    if (p_processes.isEmpty())
        return;
    QSqlDatabase db = database();
    const bool transaction = db.transaction();
    for (const QString &record : std::as_const(p_processes)) {
        quint32 pid = 0, parentPid = 0;
        QString name;
        if (!ProcessRecord::unpack(record, &pid, &name, &parentPid)) {
            qWarning().noquote() << QStringLiteral(
                                        "ProcessSqlModel::addProcesses() couldn't unpack '%1'")
                                        .arg(record);
            continue;
        }
        m_insert.addBindValue(pid);
        m_insert.addBindValue(name);
        m_insert.addBindValue(parentPid);
        m_insert.addBindValue(1);
        m_insert.addBindValue(0);
        m_insert.addBindValue(int(Checking));
        exec(m_insert);
        qDebug().noquote()
            << QStringLiteral("Created '%1'").arg(ProcessRecord::pack(pid, name, parentPid));
    }
    if (transaction && !db.commit())
        qWarning().noquote() << QStringLiteral("SQL ERROR for query [%1]: '%2'")
                                    .arg(QStringLiteral("COMMIT"), db.lastError().text());
    // The rows are announced by the re-select: they land in name order, not
    // after the last row.
    selectNow();
}

void ProcessSqlModel::removeProcesses(QList<QString> p_processes)
{
    qDebug().noquote() << QStringLiteral("ProcessSqlModel::removeProcesses() got %1 processes.")
                              .arg(p_processes.size());
    QSqlDatabase db = database();
    const bool transaction = db.transaction();
    for (const QString &record : std::as_const(p_processes)) {
        quint32 pid = 0, parentPid = 0;
        QString name;
        if (!ProcessRecord::unpack(record, &pid, &name, &parentPid)) {
            qWarning().noquote() << QStringLiteral(
                                        "ProcessSqlModel::removeProcesses() couldn't unpack '%1'")
                                        .arg(record);
            continue;
        }
        bool keep = isProcessMalware(record);
        if (!keep) {
            // A process whose digest went to the registry and that ended before
            // the verdict came stays until it does: malware must not slip by
            // because it was quick.
            bindRecord(m_rowState, pid, name, parentPid);
            if (exec(m_rowState) && m_rowState.next())
                keep = !m_rowState.value(0).isNull() && m_rowState.value(1).toInt() != Checked;
            m_rowState.finish();
        }
        QSqlQuery &change = keep ? m_setAlive : m_delete;
        if (keep)
            change.addBindValue(0);
        bindRecord(change, pid, name, parentPid);
        exec(change);
    }
    if (transaction && !db.commit())
        qWarning().noquote() << QStringLiteral("SQL ERROR for query [%1]: '%2'")
                                    .arg(QStringLiteral("COMMIT"), db.lastError().text());
    selectNow();
}

bool ProcessSqlModel::isProcessMalware(const QString &record)
{
    quint32 pid = 0, parentPid = 0;
    QString name;
    if (!ProcessRecord::unpack(record, &pid, &name, &parentPid)) {
        qWarning().noquote() << QStringLiteral(
                                    "ProcessSqlModel::isProcessMalware() couldn't unpack '%1'")
                                    .arg(record);
        return false;
    }
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(statement("SELECT detection_percentage FROM %1 WHERE ") +
                  QLatin1String(RecordMatch));
    bindRecord(query, pid, name, parentPid);
    if (!exec(query))
        return false;
    if (!query.next())
        return false;
    const int rate = query.value(0).toInt();
    if (rate <= 0)
        return false;
    qDebug().noquote() << QStringLiteral("ProcessSqlModel::isProcessMalware will return true for "
                                         "[%1] with detection percentage %2")
                              .arg(record)
                              .arg(rate);
    return true;
}

void ProcessSqlModel::malwareModuleFound(QString p_module_path, quint32 p_pid)
{
    qDebug().noquote() << QStringLiteral("ProcessSqlModel::malwareModuleFound( %1, %2 ) called")
                              .arg(p_module_path)
                              .arg(p_pid);
    const int count = maliciousModuleCountFromPid(p_pid) + 1;
    QSqlQuery query(database());
    query.prepare(
        statement("UPDATE %1 SET malicious_module_count = ? WHERE pid == ? AND is_alive == 1"));
    query.addBindValue(count);
    query.addBindValue(p_pid);
    if (exec(query))
        scheduleSelect();
}

void ProcessSqlModel::userSetFilter(QString p_filter_text)
{
    const QString sqlFilter = SqlLike::containsFilter(QStringLiteral("base_name"), p_filter_text);
    qDebug().noquote()
        << QStringLiteral("ProcessSqlModel::userSetFilter() sql filter is [%1]").arg(sqlFilter);
    // setFilter() re-selects only after a select that worked.
    const bool reselects = query().isActive();
    setFilter(sqlFilter);
    if (!reselects)
        selectNow();
}

quint32 ProcessSqlModel::pidFromDigest(const QString &md5)
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(statement("SELECT pid FROM %1 WHERE md5 = ?"));
    query.addBindValue(md5);
    quint32 pid = 0;
    if (exec(query) && query.next())
        pid = query.value(0).toUInt();
    qDebug().noquote()
        << QStringLiteral("ProcessSqlModel::pidFromDigest( %1 ) pid is %2").arg(md5).arg(pid);
    return pid;
}

QString ProcessSqlModel::pathFromDigest(const QString &md5)
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(statement("SELECT file_path FROM %1 WHERE md5 = ?"));
    query.addBindValue(md5);
    QString path;
    if (exec(query) && query.next())
        path = query.value(0).toString();
    qDebug().noquote()
        << QStringLiteral("ProcessSqlModel::pathFromDigest( %1 ) path is %2").arg(md5, path);
    return path;
}

int ProcessSqlModel::maliciousModuleCountFromPid(quint32 pid)
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(statement("SELECT malicious_module_count FROM %1 WHERE pid == ?"));
    query.addBindValue(pid);
    int count = 0;
    if (exec(query) && query.next())
        count = query.value(0).toInt();
    qDebug().noquote() << QStringLiteral(
                              "ProcessSqlModel::maliciousModuleCountFromPid( %1 ) count is %2")
                              .arg(pid)
                              .arg(count);
    return count;
}

QList<QString> ProcessSqlModel::aliveProcessRecords()
{
    QList<QString> records;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(statement("SELECT pid, base_name, parent_pid FROM %1 WHERE is_alive == ?"));
    query.addBindValue(1);
    if (!exec(query))
        return records;
    while (query.next())
        records.append(ProcessRecord::pack(query.value(0).toUInt(), query.value(1).toString(),
                                           query.value(2).toUInt()));
    return records;
}

QList<quint32> ProcessSqlModel::allPids()
{
    QList<quint32> pids;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    if (!query.exec(statement("SELECT pid FROM %1"))) {
        SqlModel::logSqlError(query);
        return pids;
    }
    while (query.next())
        pids.append(query.value(0).toUInt());
    return pids;
}
