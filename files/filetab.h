#pragma once

#include "platform/mountedvolumes.h"
#include "registry/orvextab.h"

#include <QDateTime>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QTime>
#include <QTimer>
#include <QVariant>

#include <functional>
#include <memory>

class DigestCalculator;
class DriveScanner;
class FileScanLog;
class FileScanPipeline;
class QAction;
class QMenu;
class SqlModel;

namespace Ui {
class FileTab;
}

// The "Files" tab, the window's face of the file scan (FileScanPipeline):
// whatever starts a scan, the pipeline walks the chosen items, stores and
// digests the files; the tab sends the MD5 digests to the registry through
// queryOrvex() and hands each answer back. The tab shows a progress page while
// a scan runs, the table and the scan summary after it, and schedules the daily
// automatic drive scan.
class FileTab : public OrvexTab
{
    Q_OBJECT

public:
    enum ScanType { QuickScan = 0, FullScan = 1 };

    explicit FileTab(QWidget *parent = nullptr);
    ~FileTab() override;

    // The milliseconds from now until the next time of day, later today when it
    // is still ahead, otherwise tomorrow.
    static qint64 automaticScanDelay(const QDateTime &now, const QTime &time);

    // The root that the computer scan and the daily scan cover: the root folder
    // by default.
    QString systemDrive() const;
    void setSystemDrive(const QString &root);
    // Where the drive menus take their volumes from: the mounted volumes by default.
    void setVolumeSource(std::function<QList<MountedVolumes::Volume>()> source);

    // True from the start of a scan until it finished or was stopped.
    bool isScanRunning() const;
    QTime automaticScanTime() const { return m_automaticScanTime; }
    const QTimer &automaticScanTimer() const { return m_automaticScanTimer; }
    // Runs while a due automatic scan waits for a running scan to end.
    const QTimer &postponedScanTimer() const { return m_postponedScanTimer; }

    SqlModel *fileModel() const { return m_fileModel; }
    FileScanPipeline *scanPipeline() const { return m_pipeline.get(); }
    DriveScanner *driveScanner() const;
    DigestCalculator *digestWorker() const;
    FileScanLog *scanLog() const;
    QMenu *quickScanMenu() const { return m_quickScanMenu; }
    QMenu *fullScanMenu() const { return m_fullScanMenu; }
    QMenu *actionsMenu() const { return m_actionsMenu; }

    // While the registry cannot be reached the table and its buttons are off;
    // the progress page stays usable, so a scan waiting for the registry can
    // still be stopped.
    void setResultsEnabled(bool enabled);

Q_SIGNALS:
    void fileScanStarted();
    void fileScanAborted();
    // True when the table holds at least one row.
    void fileScanFinished(bool);
    void fileCountChanged(int);
    void automaticScanStarted();
    void malwareFileFound(QString);
    void malwareFileRemoved(QString);
    // "Report False Positive..." with the selected file's record (FileView).
    void falsePositiveReportRequested(QString p_packed_data);

public Q_SLOTS:
    void handleFilesAndDirectoriesDrop(QList<QFileInfo> p_items);
    void scheduleAutomaticDriveScan(QTime p_time);
    void userScanComputer();
    void userScanFiles();
    void userStopScan();
    void userScanFolder();

    void setOrvexDataPacked(QString p_packed_data) override;
    void setOrvexData(QString p_packed_data, int p_orvex_item_property_enum,
                      QVariant p_data) override;
    void OrvexQueryStarted() override;
    void OrvexQueryFinished() override;
    void setOrvexDataUnanswered(QString p_md5) override;

protected Q_SLOTS:
    void userSetFilter(QString p_filter);
    void userClearSelectedItems();
    void handleFileCountChanged();
    void handleFileCountChanged(int p_count);
    void handleFileSelectionChange(int p_count, bool p_malicious);
    void receiveDriveScanResult(QString p_path, int p_scan_type);
    void sendDigestsToOrvex(QList<QString> p_digests);
    void handleFileScanStarted();
    void handleFileScanAborted();
    void handleFileScanFinished();
    void handleDriveScanFinished();
    void digestFiles(QList<QString> p_paths);
    void populateDriveScanOptions();
    void userStartDriveScan(QAction *p_action);
    void startAutomaticDriveScan();
    void userClearBenignFiles();
    void exportTable();
    void setProgressMaximum(int p_maximum);
    void setProgressValue(int p_value);
    void setProgressStatus(QString p_status);
    void setProgressStep();

private:
    void setUpActions();
    void setUpTable();
    void setUpWorkers();
    void startScan(const QList<QFileInfo> &items, int scanType);
    void showScanFinished();
    void showScanAborted();
    void applyProgressSteps();
    void resetProgressBar();
    void showEmptyScanMessage();
    void returnToFilesPage();
    void fetchAllRows();
    void fetchSomeRows();
    void populateDriveMenu(QMenu *menu);
    bool isDriveRoot(const QString &path) const;
    bool isBusy() const;

    std::unique_ptr<Ui::FileTab> ui;
    SqlModel *m_fileModel = nullptr;
    // Goes before the model, a child of this tab.
    std::unique_ptr<FileScanPipeline> m_pipeline;
    QTimer m_automaticScanTimer;
    QTimer m_postponedScanTimer;
    QTime m_automaticScanTime;
    QMenu *m_quickScanMenu = nullptr;
    QMenu *m_fullScanMenu = nullptr;
    QMenu *m_actionsMenu = nullptr;

    QString m_systemDrive;
    // The folder the file dialogs open in; the documents folder at first.
    QString m_lastFolder;
    std::function<QList<MountedVolumes::Volume>()> m_volumeSource;

    // Registry answers counted by setProgressStep() and not shown yet.
    int m_progressSteps = 0;
    QTimer m_progressStepTimer;

    QTimer m_fetchTimer;
    bool m_fetchingAll = false;
};
