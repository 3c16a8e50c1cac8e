#pragma once

#include <QColor>
#include <QList>
#include <QLocale>
#include <QMap>
#include <QSqlQuery>
#include <QSqlTableModel>
#include <QString>
#include <QTimer>
#include <QVariant>

class DataExporter;

// Every file the user has scanned, with its digests and the registry's verdict,
// kept in the table "items" of the default database connection. The file tab
// inserts paths, the digest worker fills in digests, the registry's answers fill
// in the verdict; the file view shows the rows.
class SqlModel : public QSqlTableModel
{
    Q_OBJECT

public:
    // Model sections: the columns ordered by name.
    enum Section {
        CheckStateSection,
        DetectionRateSection,
        LastSeenSection,
        Md5Section,
        NameSection,
        PathSection,
        ScanTimeSection,
        Sha1Section,
        SizeSection,
        StatusSection,
        SectionCount
    };

    explicit SqlModel(QObject *parent = nullptr);
    ~SqlModel() override;

    QString selectStatement() const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    using QSqlTableModel::removeRows;
    using QSqlTableModel::setData;

    // addFiles() with each file's size already read (in bytes, -1 when it
    // could not be); a size of NotMeasured is read here.
    static constexpr qint64 NotMeasured = -2;
    void addFiles(const QList<QString> &paths, int scanType, const QList<qint64> &bytes);

    QList<QString> filesToDigest(int limit);
    QList<QString> pathsFromDigest(const QString &md5);
    int fileCount();
    int maliciousEntryCount();
    QString fileFPData(int row) const;
    QList<QString> filePaths(const QList<int> &rows) const;
    // Deletes the given rows of the current selection result (numbers taken
    // before the call), then re-selects once.
    void removeRows(const QList<int> &rows);
    void setOrderByClause(const QString &clause);
    QString columnName(int section) const;

    bool isRowMalicious(int row) const;
    int rowCheckState(int row) const;
    QString rowPath(int row) const;

    // The export with a given exporter (the slot makes its own). Throws the
    // translated error text as a QString when the table cannot be read or the
    // file cannot be written; the caller shows it.
    void exportTable(DataExporter &exporter);

    // The size text the table stores for a byte count (negative: unknown).
    static QString sizeText(qint64 bytes);
    // The one warning line for a failed statement.
    static void logSqlError(const QSqlQuery &query);

Q_SIGNALS:
    void malwareFound(QString p_path);
    void malwareRemoved(QString p_path);
    void fileCountChanged(int p_count);

public Q_SLOTS:
    void addFile(QString p_path, int p_scan_type);
    void addFiles(QList<QString> p_paths, int p_scan_type);
    void setDigestData(QString p_packed_data);
    void setUnableToOpenFile(QString p_path);
    // Files the digest worker left without a digest on purpose: not checked,
    // each with a status that says why.
    void setFileSkipped(QString p_path, QString p_reason);
    void setFileChangedWhileRead(QString p_path);
    // Every row of this MD5 digest: the registry could not be asked about it.
    void setUnableToCheck(QString p_md5);
    void setOrvexDataPacked(QString p_packed_data);
    // The same rows as setOrvexDataPacked() for each record in turn, with far
    // fewer statements. malwareFound follows the stored rows.
    void setOrvexDataPackedBatch(const QList<QString> &p_packed_data);
    void clearNonMaliciousEntries();
    void clearAbortedEntries();
    void clearQuickScanFiles();
    void loadFileInfo(QList<QString> p_file_info);
    // Throws like exportTable(DataExporter &).
    void exportTable();
    void userSetFilter(QString p_filter_text);
    void fetchAll();
    void setData(QString p_packed_data, int p_property_enum, QVariant p_data);
    void setOrvexData(QString p_packed_data, int p_orvex_item_property_enum, QVariant p_data);

private:
    QVariant cell(int row, int section) const;
    bool exec(QSqlQuery &query);
    bool exec(const QString &statement);
    int count(const QString &statement);
    void vacuum();
    void emitFileCountChanged();
    QString currentScanTimeText();
    static QString answerStatus(int rate);
    // Gives every row of these digests the same answer, in the write batch.
    void updateAnswers(const QString &rateText, const QString &lastSeen, const QString &status,
                       const QString &scanTime, const QList<QString> &digests);

    QMap<QString, QString> m_headers; // column name -> header label, in column order
    QString m_orderByClause;
    const QColor m_highlight{255, 152, 1};
    // Digests and registry answers arrive a statement each, thousands per
    // second; they share one transaction that ends at the next turn of the
    // event loop, or before anything that cannot run inside one.
    void joinWriteBatch();
    void commitWriteBatch();
    QTimer m_writeBatchTimer;
    bool m_writeBatchOpen = false;

    qint64 m_scanTimeSecs = -1;
    QString m_scanTimeText;

    // Statements that run once per file or per answer, prepared once.
    // Rows that addFiles() inserts with one statement.
    static constexpr int RowsPerInsert = 100;
    void bindFile(QSqlQuery &insert, const QString &path, int scanType, qint64 bytes = NotMeasured);
    QSqlQuery m_insertFile;
    QSqlQuery m_insertFiles;
    QSqlQuery m_updateDigests;
    QSqlQuery m_updateUnableToOpen;
    QSqlQuery m_updateUnableToCheck;
    QSqlQuery m_updateAnswer;
    // Answers with equal values that updateAnswers() stores with one statement.
    static constexpr int DigestsPerUpdate = 100;
    QSqlQuery m_updateAnswers;
    QSqlQuery m_selectPathsForDigest;
};
