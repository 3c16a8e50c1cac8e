#pragma once

#include <QColor>
#include <QHash>
#include <QList>
#include <QPixmap>
#include <QSqlQuery>
#include <QSqlTableModel>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariant>

// Every process the monitor has seen, in the table "processes" of the default
// database connection: rows come and go with the snapshots, the populator
// fills in paths, icons and digests, the registry the verdicts. A process found
// to be malware stays listed, no longer alive, after it ends.
//
// Property changes and verdicts arrive by the thousand when many processes
// start at once; the table is then re-selected once per turn of the event loop
// rather than once per change.
class ProcessSqlModel : public QSqlTableModel
{
    Q_OBJECT

public:
    // Model sections, in the order of the select list.
    enum Section {
        SmallIconSection,
        BaseNameSection,
        DetectionPercentageSection,
        PidSection,
        ParentPidSection,
        FilePathSection,
        Md5Section,
        Sha1Section,
        LargeIconSection,
        OrvexStateSection,
        IsAliveSection,
        StatusSection,
        MaliciousModuleCountSection,
        SectionCount
    };

    explicit ProcessSqlModel(QObject *parent = nullptr);
    ~ProcessSqlModel() override;

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    // A flat list: rows have no children.
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QString selectStatement() const override;
    // Also fetches every row: the table holds one per process, and a count of
    // the rows fetched so far (256 at a time) would be taken for the number of
    // processes.
    bool select() override;
    using QSqlTableModel::setData;

    // The row's stored values.
    QString baseName(int row) const;
    QPixmap smallIcon(int row) const;
    quint32 rowPid(int row) const;
    int orvexState(int row) const;
    bool isMalware(int row) const;
    bool hasMaliciousModules(int row) const;
    bool isAlive(int row) const;
    // "md5|sha1|path" of the row.
    QString processFPData(int row) const;

    quint32 pidFromDigest(const QString &md5);
    QString pathFromDigest(const QString &md5);
    int maliciousModuleCountFromPid(quint32 pid);
    bool isProcessMalware(const QString &record);
    // The alive rows as process packed records: the previous snapshot.
    QList<QString> aliveProcessRecords();
    // Every row's pid, alive or not.
    QList<quint32> allPids();

    // Splits a process packed record into its three fields, read from the
    // ends; false when it has fewer than three.
    static bool unpackRecord(const QString &record, QStringList *parts);
    // The status text shown for a check state; null for an unknown one.
    static QString statusText(int state);

Q_SIGNALS:
    void malwareFound(QString p_path, quint32 p_pid);

public Q_SLOTS:
    void setOrvexData(QString p_packed_data, int p_orvex_item_property_enum, QVariant p_data);
    void setOrvexDataPacked(QString p_packed_data);
    void setData(QString p_packed_data, int p_process_property_enum, QVariant p_data);
    void addProcesses(QList<QString> p_processes);
    void removeProcesses(QList<QString> p_processes);
    void malwareModuleFound(QString p_module_path, quint32 p_pid);
    void userSetFilter(QString p_filter_text);

private:
    QVariant cell(int row, int section) const;
    bool exec(QSqlQuery &query);
    // Binds the three fields of a record after the values already bound.
    static void bindRecord(QSqlQuery &query, quint32 pid, const QString &name, quint32 parentPid);
    // A select at the next turn of the event loop, for however many changes
    // come before it.
    void scheduleSelect();
    void selectNow();

    QStringList m_columns;
    const QColor m_highlight{255, 152, 1};
    const QColor m_ended{Qt::darkRed};
    QTimer m_selectTimer;
    mutable QHash<QString, QPixmap> m_pixmaps; // stored icon text -> its picture

    // Statements that run once per process or per property, prepared once.
    QSqlQuery m_insert;
    QSqlQuery m_setAlive;
    QSqlQuery m_delete;
    QSqlQuery m_rowState;
    QSqlQuery m_answer;
    QSqlQuery m_deleteEndedClean;
    QHash<QString, QSqlQuery> m_setColumn; // column -> its UPDATE
};
