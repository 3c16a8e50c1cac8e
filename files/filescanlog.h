#pragma once

#include <QDateTime>
#include <QPixmap>
#include <QPointer>
#include <QSqlTableModel>
#include <QString>

#include <functional>

class DriveScanner;
class SqlModel;

// Records the start of every file scan in the table "scan_log" and, when a scan
// ends or is stopped, composes the one-sentence summary shown under the file
// table, with the number of malicious files the scan found and an icon for what
// was scanned.
class FileScanLog : public QSqlTableModel
{
    Q_OBJECT

public:
    explicit FileScanLog(QObject *parent = nullptr);

    void setFileModel(SqlModel *model);
    void setDriveScanner(DriveScanner *scanner);
    // Whether a folder is the root of a mounted volume ("the root directory" in
    // the summary, a drive icon): the mount table's answer unless a test sets
    // its own.
    void setVolumeRootTest(std::function<bool(const QString &)> isVolumeRoot);

    // "1 day, 2 hours, 1 second"; "0 seconds" for none.
    static QString durationText(qint64 seconds);

    // What a scan that kept no file tells the user of its folders: those that
    // hold no file it keeps and, when asked, the scan items it could not read
    // at all (a command line names those as it meets them). Empty when there
    // is nothing to say.
    QString emptyScanText(bool withUnreadableItems) const;

Q_SIGNALS:
    // The sentence may hold the HTML tags <b> and </b>.
    void scanSummary(QString p_summary);
    void scanStatistics(int p_malicious_files_found);
    // A null pixmap when no icon was found.
    void scanIcon(QPixmap &p_icon);

public Q_SLOTS:
    void handleScanStarted();
    void handleScanAborted();
    void handleScanFinished();

private:
    void summarise(bool aborted);
    QString targetText() const;
    // "2 folders could not be read."; empty when every folder was read. The
    // folders themselves go to the log.
    QString unreadableFoldersText() const;
    // The largest row id of the file table (0 for none).
    qint64 lastRowId() const;
    // Whether the registry answered for the row the single-file scan added.
    bool singleFileChecked() const;
    QPixmap iconFromScanDirectories() const;
    QPixmap systemIconFromFile(const QString &path, bool isFolder) const;

    QPointer<SqlModel> m_fileModel;
    QPointer<DriveScanner> m_driveScanner;
    std::function<bool(const QString &)> m_isVolumeRoot;
    QDateTime m_startTime;
    int m_startMaliciousCount = 0;
    int m_startFileCount = 0;
    // Rows above this id were added by the current scan.
    qint64 m_startLastRowId = 0;
};
