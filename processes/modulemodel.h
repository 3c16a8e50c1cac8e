#pragma once

#include <QColor>
#include <QHash>
#include <QList>
#include <QSqlQuery>
#include <QSqlTableModel>
#include <QString>
#include <QStringList>
#include <QVariant>

// The modules that the known processes have loaded, one row per process and
// module file, in the table "modules" of the default database connection.
// Each file is digested once: a later row of the same file takes the stored
// digests and verdict. A module found to be malware stays listed, no longer
// loaded, after its process unloads it or ends.
//
// Linux paths are case-sensitive and may hold any character: a path is kept
// as reported and compared exactly, through bound values and columns that
// compare bytes. Two files may have one path (a library in a container and
// the host's library of the same name): rows carry the mapped file's identity
// ("<device>:<inode>", file_id), and digests and verdicts pass only between
// rows of the same file.
class ModuleModel : public QSqlTableModel
{
    Q_OBJECT

public:
    // Model sections, in the order of the select list.
    enum Section {
        ParentPidSection,
        BaseNameSection,
        PathSection,
        Md5Section,
        Sha1Section,
        StatusSection,
        DetectionPercentageSection,
        OrvexStateSection,
        IsLoadedSection,
        SectionCount
    };

    explicit ModuleModel(QObject *parent = nullptr);
    ~ModuleModel() override;

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QString selectStatement() const override;

    quint32 filterPid() const { return m_filterPid; }

    // Every row as a module packed record, loaded or not.
    QList<QString> moduleRecords();
    // The rows still loaded: module packed record -> file identity.
    QHash<QString, QString> loadedModuleFiles();

    // Inserts the records (a row that is there already is loaded again, or
    // starts afresh when its path now maps another file). fileIds gives each
    // record's file identity; a record without one gets none. modulesAdded()
    // follows with the records still to digest.
    void addModules(const QList<QString> &records, const QHash<QString, QString> &fileIds);
    // Takes the digests and verdict stored for the record's file, if any.
    bool copyData(const QString &record, const QString &fileId = QString());

    // The digests of one file, for every row of its path and identity.
    void setFileDigests(const QString &path, const QString &fileId, const QString &sha1,
                        const QString &md5);
    // The file could not be read through these processes: their rows that
    // have no digests end "Unable to check".
    void setFileUnreadable(const QString &path, const QString &fileId, const QList<quint32> &pids);
    // The processes whose rows of the file still wait for digests.
    QList<quint32> pidsAwaitingDigests(const QString &path, const QString &fileId);

    quint32 pidFromDigest(const QString &md5);
    QString pathFromDigest(const QString &md5);
    QString digestFromPath(const QString &path);
    bool isModuleMalware(const QString &md5);

    // The row's stored values.
    bool isLoaded(int row) const;
    bool isMalware(int row) const;
    int orvexState(int row) const;

    // The status text shown for a check state; null for states without one.
    static QString statusText(int state);

Q_SIGNALS:
    // Module path and process id of a loaded row that a verdict marks as
    // malware: once per row, when the row takes the verdict.
    void malwareFound(QString p_path, quint32 p_pid);
    // The records of the rows added that need digests.
    void modulesAdded(QList<QString>);

public Q_SLOTS:
    void setFilterPID(quint32 p_pid);
    void handleOrvexQueryFinished();
    void addModules(QList<QString> p_modules);
    void removeModules(QList<QString> p_modules);
    // A digest record "path|sha1|md5", for every row of the path.
    void setDigestData(QString p_digest_data);
    void setOrvexDataPacked(QString p_packed_data);
    // The registry never answered the digest: its rows cannot be checked.
    void setOrvexDataUnanswered(QString p_md5);
    void setOrderByClause(QString p_clause);

private:
    QVariant cell(int row, int section) const;
    bool exec(QSqlQuery &query);
    QSqlQuery prepared(const QString &text);
    void addModule(const QString &record, const QString &fileId, QList<QString> *toDigest);

    QStringList m_columns;
    QString m_orderBy;
    quint32 m_filterPid = 0;
    const QColor m_highlight{255, 152, 1};
    const QColor m_unloaded{Qt::darkRed};

    // Statements run once per module, prepared once.
    QSqlQuery m_insert;
    QSqlQuery m_findRow;
    QSqlQuery m_reload;
    QSqlQuery m_restart;
    QSqlQuery m_copy;
    QSqlQuery m_setDigests;
    QSqlQuery m_rowVerdict;
    QSqlQuery m_unload;
    QSqlQuery m_delete;
};
