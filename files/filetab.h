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
class QAction;
class QMenu;
class SlicedRelay;
class SqlModel;

namespace Ui {
class FileTab;
}

// The "Files" tab and the conductor of every file scan: whatever starts a scan,
// the chosen items are walked, each kept file goes into the file table, the
// files without a digest are digested, the MD5 digests go to the registry
// through queryOrvex(), and each answer is applied to the table. The tab also
// keeps the scan log informed, shows a progress page while a scan runs and
// schedules the daily automatic drive scan.
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
    bool isScanRunning() const { return m_scanRunning; }
    QTime automaticScanTime() const { return m_automaticScanTime; }
    const QTimer &automaticScanTimer() const { return m_automaticScanTimer; }
    // Runs while a due automatic scan waits for a running scan to end.
    const QTimer &postponedScanTimer() const { return m_postponedScanTimer; }

    SqlModel *fileModel() const { return m_fileModel; }
    DriveScanner *driveScanner() const { return m_driveScanner.get(); }
    DigestCalculator *digestWorker() const { return m_digestWorker.get(); }
    FileScanLog *scanLog() const { return m_scanLog.get(); }
    QMenu *quickScanMenu() const { return m_quickScanMenu; }
    QMenu *fullScanMenu() const { return m_fullScanMenu; }
    QMenu *actionsMenu() const { return m_actionsMenu; }

Q_SIGNALS:
    void fileScanStarted();
    void fileScanAborted();
    // True when the table holds at least one row.
    void fileScanFinished(bool);
    void fileCountChanged(int);
    void automaticScanStarted();
    void malwareFileFound(QString);
    void malwareFileRemoved(QString);

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
    void flushFoundFiles();
    void flushAnswers();
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
    // Carries the digest worker's reports to this thread.
    SlicedRelay *m_digestRelay = nullptr;
    std::unique_ptr<DigestCalculator> m_digestWorker;
    std::unique_ptr<DriveScanner> m_driveScanner;
    std::unique_ptr<FileScanLog> m_scanLog;
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

    // Files reported by the walk and not yet stored: they are inserted in one
    // transaction per pass of the event loop instead of one statement each.
    QList<QString> m_foundFiles;
    // Their sizes as the walk read them.
    QList<qint64> m_foundFileBytes;
    int m_foundFilesScanType = FullScan;
    QTimer m_foundFilesTimer;

    // Registry answers not stored yet.
    QList<QString> m_answers;
    QTimer m_answersTimer;

    // Registry answers counted by setProgressStep() and not shown yet.
    int m_progressSteps = 0;
    QTimer m_progressStepTimer;

    bool m_scanRunning = false;
    bool m_stopRequested = false;
    QTimer m_fetchTimer;
    bool m_fetchingAll = false;
};
