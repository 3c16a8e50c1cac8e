#include "files/filetab.h"

#include "files/dataexporter.h"
#include "files/digestcalculator.h"
#include "files/drivescanner.h"
#include "files/filescanlog.h"
#include "files/filescanpipeline.h"
#include "files/fileview.h"
#include "files/sqlmodel.h"
#include "files/userprompt.h"
#include "platform/clock.h"
#include "platform/fileicon.h"
#include "platform/filename.h"
#include "platform/fileproperties.h"
#include "views/scansummarywidget.h"

#include "ui_filetab.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLocale>
#include <QMenu>
#include <QStandardPaths>
#include <QStyle>
#include <QThread>

namespace {
// How long a due automatic scan waits for a running scan before it tries again.
constexpr int AutomaticScanRetryMs = 300000;
constexpr int MsecsPerMinute = 60000;
// The longest the GUI thread spends fetching rows before it serves its events.
constexpr int FetchSliceMs = 20;

// The export asks its questions through the tab's prompts, like every other
// message of the tab.
class TabExporter : public DataExporter
{
public:
    explicit TabExporter(QWidget *parent) : m_parent(parent) {}

protected:
    QString askForFileName(const QString &proposed, const QString &filters,
                           QString *selectedFilter) override
    {
        return UserPrompt::saveFileName(m_parent, tr("Export"), proposed, filters, selectedFilter);
    }
    void showOpenFailure(const QString &fileName) override
    {
        UserPrompt::warning(m_parent, tr("Could not open file."),
                            tr("The file '%1' could not be opened for writing.\n\nMake sure you "
                               "have write permission to this file and in this directory.")
                                .arg(fileName));
    }
    bool confirmOverwrite(const QString &fileName) override
    {
        return UserPrompt::question(
                   m_parent, tr("Export"),
                   tr("The file '%1' already exists.\n\nDo you want to replace it?").arg(fileName),
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
    }

private:
    QWidget *m_parent;
};

} // namespace

FileTab::FileTab(QWidget *parent)
    : OrvexTab(parent), ui(std::make_unique<Ui::FileTab>()),
      m_systemDrive(QDir::toNativeSeparators(QDir::rootPath())),
      m_lastFolder(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)),
      m_volumeSource(&MountedVolumes::mounted)
{
    ui->setupUi(this);
    ui->lineEdit_filter->setLabelText(tr("Filter by Location"));
    ui->lineEdit_filter->hide();

    m_fileModel = new SqlModel(this);
    ui->tableView->setModel(m_fileModel);

    setUpWorkers();
    setUpActions();
    setUpTable();

    connect(ui->tableView, &FileView::filesAndDirsDropped, this,
            &FileTab::handleFilesAndDirectoriesDrop);
    connect(ui->tableView, &FileView::selectedFileCount, this, &FileTab::handleFileSelectionChange);
    connect(ui->lineEdit_filter, &QLineEdit::textChanged, this, &FileTab::userSetFilter);
    connect(m_fileModel, &SqlModel::malwareFound, this, &FileTab::malwareFileFound);
    connect(m_fileModel, &SqlModel::malwareFound, ui->tableView, &FileView::handleMalwareFileFound);
    connect(m_fileModel, &SqlModel::malwareRemoved, this, &FileTab::malwareFileRemoved);
    connect(m_fileModel, &QAbstractItemModel::rowsInserted, this,
            qOverload<>(&FileTab::handleFileCountChanged));
    connect(m_fileModel, &QAbstractItemModel::rowsRemoved, this,
            qOverload<>(&FileTab::handleFileCountChanged));
    // Every re-select (after a scan, a clear, a sort) resets the model without
    // inserting or removing rows one by one; the count and the selection-bound
    // actions must follow it too.
    connect(m_fileModel, &QAbstractItemModel::modelReset, this,
            qOverload<>(&FileTab::handleFileCountChanged));

    connect(scanLog(), &FileScanLog::scanSummary, ui->widget_scan_summary,
            &ScanSummaryWidget::showScanSummary);
    connect(scanLog(), &FileScanLog::scanStatistics, ui->widget_scan_summary,
            &ScanSummaryWidget::showScanStatistics);
    connect(scanLog(), &FileScanLog::scanIcon, ui->widget_scan_summary,
            &ScanSummaryWidget::showScanIcon);
    ui->widget_scan_summary->hide();

    connect(ui->pushButton_file_load_files, &QPushButton::clicked, this, &FileTab::userScanFiles);
    connect(ui->pushButton_scan_folder, &QPushButton::clicked, this, &FileTab::userScanFolder);
    connect(ui->pushButton_file_stop_drive_scan, &QPushButton::clicked, this,
            &FileTab::userStopScan);

    // A day-long coarse timer is rounded to whole seconds and may fire early.
    m_automaticScanTimer.setTimerType(Qt::PreciseTimer);
    m_automaticScanTimer.setSingleShot(true);
    connect(&m_automaticScanTimer, &QTimer::timeout, this, &FileTab::startAutomaticDriveScan);
    m_postponedScanTimer.setSingleShot(true);
    connect(&m_postponedScanTimer, &QTimer::timeout, this, &FileTab::startAutomaticDriveScan);
    m_progressStepTimer.setSingleShot(true);
    m_progressStepTimer.setInterval(0);
    connect(&m_progressStepTimer, &QTimer::timeout, this, &FileTab::applyProgressSteps);
    m_fetchTimer.setSingleShot(false);
    m_fetchTimer.setInterval(0);
    connect(&m_fetchTimer, &QTimer::timeout, this, &FileTab::fetchSomeRows);

    ui->stackedWidget_scan->setCurrentWidget(ui->page_files);
    handleFileCountChanged();
}

FileTab::~FileTab()
{
    // The pipeline waits for its workers and uses the model until it is gone.
    m_pipeline.reset();
}

void FileTab::setUpWorkers()
{
    m_pipeline = std::make_unique<FileScanPipeline>(m_fileModel);
    FileScanPipeline *pipeline = m_pipeline.get();
    pipeline->driveScanner()->setExclusions({QStringLiteral("%1pagefile.sys").arg(systemDrive()),
                                             QStringLiteral("%1hiberfil.sys").arg(systemDrive())});

    connect(pipeline, &FileScanPipeline::started, this, &FileTab::fileScanStarted);
    connect(pipeline, &FileScanPipeline::started, this, &FileTab::handleFileScanStarted);
    connect(pipeline, &FileScanPipeline::progressStatus, this, &FileTab::setProgressStatus);
    connect(pipeline, &FileScanPipeline::progressMaximum, this, &FileTab::setProgressMaximum);
    connect(pipeline, &FileScanPipeline::progressValue, this, &FileTab::setProgressValue);
    connect(pipeline, &FileScanPipeline::walkFinished, this, &FileTab::handleDriveScanFinished);
    connect(pipeline, &FileScanPipeline::digestStarting, this, &FileTab::digestFiles);
    connect(pipeline, &FileScanPipeline::queryRequested, this, &FileTab::sendDigestsToOrvex);
    connect(pipeline, &FileScanPipeline::queryStopRequested, this, &OrvexTab::queryStopRequested);
    connect(pipeline, &FileScanPipeline::finished, this, &FileTab::showScanFinished);
    connect(pipeline, &FileScanPipeline::emptyScan, this, &FileTab::showEmptyScanMessage);
    connect(pipeline, &FileScanPipeline::aborted, this, &FileTab::showScanAborted);
}

void FileTab::setUpActions()
{
    connect(ui->actionExport, &QAction::triggered, this, &FileTab::exportTable);
    connect(ui->actionReport_False_Positive, &QAction::triggered, ui->tableView,
            &FileView::userReportFP);
    connect(ui->tableView, &FileView::falsePositiveReportRequested, this,
            &FileTab::falsePositiveReportRequested);
    connect(ui->actionClear_Non_Malware_Entries, &QAction::triggered, this,
            &FileTab::userClearBenignFiles);
    connect(ui->actionReveal_File, &QAction::triggered, ui->tableView, &FileView::revealItem);
    connect(ui->actionClear_Selected_Items, &QAction::triggered, this,
            &FileTab::userClearSelectedItems);
    connect(ui->actionUpload_File, &QAction::triggered, ui->tableView, &FileView::userUploadFile);
    for (QAction *action :
         {ui->actionExport, ui->actionReport_False_Positive, ui->actionClear_Non_Malware_Entries,
          ui->actionReveal_File, ui->actionClear_Selected_Items})
        action->setEnabled(false);

    m_actionsMenu = new QMenu(this);
    m_actionsMenu->addAction(ui->actionReveal_File);
    m_actionsMenu->addAction(ui->actionReport_False_Positive);
    m_actionsMenu->addSeparator();
    m_actionsMenu->addAction(ui->actionExport);
    m_actionsMenu->addAction(ui->actionClear_Non_Malware_Entries);
    m_actionsMenu->addAction(ui->actionClear_Selected_Items);
    ui->toolButton_table_actions->setMenu(m_actionsMenu);
    ui->tableView->setContextMenu(m_actionsMenu);

    auto *driveMenu = new QMenu(this);
    m_quickScanMenu = driveMenu->addMenu(tr("Quick Scan"));
    m_fullScanMenu = driveMenu->addMenu(tr("Full Scan"));
    for (QMenu *menu : {m_quickScanMenu, m_fullScanMenu}) {
        connect(menu, &QMenu::aboutToShow, this, &FileTab::populateDriveScanOptions);
        connect(menu, &QMenu::triggered, this, &FileTab::userStartDriveScan);
    }
    ui->toolButton_scan_drive->setMenu(driveMenu);
}

void FileTab::setUpTable()
{
    QHeaderView *header = ui->tableView->horizontalHeader();
    for (int section :
         {SqlModel::CheckStateSection, SqlModel::DetectionRateSection, SqlModel::LastSeenSection})
        ui->tableView->hideColumn(section);
    header->moveSection(header->visualIndex(SqlModel::Md5Section), 6);
    header->moveSection(header->visualIndex(SqlModel::StatusSection), 6);
    ui->tableView->resizeColumnsToContents();
    // Digests have a fixed width: show them whole without measuring every row.
    const QFontMetrics digits(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    const int padding = 2 * ui->tableView->style()->pixelMetric(QStyle::PM_HeaderMargin) + 4;
    ui->tableView->setColumnWidth(
        SqlModel::Md5Section, digits.horizontalAdvance(QString(32, QLatin1Char('0'))) + padding);
    ui->tableView->setColumnWidth(
        SqlModel::Sha1Section, digits.horizontalAdvance(QString(40, QLatin1Char('0'))) + padding);
}

qint64 FileTab::automaticScanDelay(const QDateTime &now, const QTime &time)
{
    const qint64 today = now.time().msecsTo(time);
    if (today > 0)
        return today;
    QDateTime tomorrow = now;
    tomorrow.setDate(now.date().addDays(1));
    tomorrow.setTime(time);
    return now.secsTo(tomorrow) * 1000;
}

QString FileTab::systemDrive() const
{
    return m_systemDrive;
}

void FileTab::setSystemDrive(const QString &root)
{
    m_systemDrive = root;
}

void FileTab::setVolumeSource(std::function<QList<MountedVolumes::Volume>()> source)
{
    m_volumeSource = std::move(source);
}

bool FileTab::isBusy() const
{
    return m_pipeline->isBusy();
}

bool FileTab::isScanRunning() const
{
    return m_pipeline->isRunning();
}

DriveScanner *FileTab::driveScanner() const
{
    return m_pipeline->driveScanner();
}

DigestCalculator *FileTab::digestWorker() const
{
    return m_pipeline->digestWorker();
}

FileScanLog *FileTab::scanLog() const
{
    return m_pipeline->scanLog();
}

void FileTab::setResultsEnabled(bool enabled)
{
    ui->page_files->setEnabled(enabled);
}

// --- starting and ending scans -------------------------------------------------

void FileTab::startScan(const QList<QFileInfo> &items, int scanType)
{
    // Drops and buttons are off while a scan runs, but the summary tab and the
    // daily timer can still ask; the workers take no second job midway.
    if (isBusy()) {
        qWarning() << "FileTab::startScan() ignored: a scan is already running";
        return;
    }
    ui->tableView->setAcceptDrops(false);
    ui->stackedWidget_scan->setCurrentWidget(ui->page_disk);
    ui->pushButton_file_stop_drive_scan->setEnabled(true);
    ui->progressBar_file_drive_scan->setMinimum(0);
    resetProgressBar();

    // Items hold lossless paths (FileName); QFileInfo would read a relative
    // one from a lossily decoded working folder.
    QList<QString> drives;
    for (const QFileInfo &item : items)
        drives.append(FileName::absolute(item.filePath()));
    m_pipeline->start(drives, scanType);
}

void FileTab::handleFilesAndDirectoriesDrop(QList<QFileInfo> p_items)
{
    // The summary tab's drop area reports drops of nothing that exists as an
    // empty list; that is no scan at all.
    if (p_items.isEmpty()) {
        qDebug() << "FileTab::handleFilesAndDirectoriesDrop() got no items";
        return;
    }
    startScan(p_items, FullScan);
}

void FileTab::userScanComputer()
{
    qDebug() << "FileTab::userScanComputer() called";
    startScan({QFileInfo(systemDrive())}, QuickScan);
}

void FileTab::userScanFiles()
{
    const QStringList files =
        UserPrompt::openFileNames(this, tr("Select Files to Check"), m_lastFolder);
    if (files.isEmpty())
        return;
    m_lastFolder = QFileInfo(files.first()).absolutePath();
    // The dialog's answers are decoded text; scans take the lossless form.
    QList<QFileInfo> items;
    for (const QString &file : files)
        items.append(QFileInfo(FileName::fromUnicode(file)));
    startScan(items, FullScan);
}

void FileTab::userScanFolder()
{
    const QString folder =
        UserPrompt::existingDirectory(this, tr("Select Folder to Scan"), m_lastFolder);
    if (folder.isEmpty())
        return;
    m_lastFolder = folder;
    startScan({QFileInfo(FileName::fromUnicode(folder))}, FullScan);
}

void FileTab::userStopScan()
{
    ui->pushButton_file_stop_drive_scan->setEnabled(false);
    m_pipeline->userRequestStop();
}

void FileTab::handleFileScanStarted()
{
    qDebug() << "FileTab::handleFileScanStarted() called";
    // The pipeline has told the scan log.
    ui->widget_scan_summary->hide();
}

void FileTab::receiveDriveScanResult(QString p_path, int p_scan_type)
{
    m_pipeline->addFoundFile(p_path, p_scan_type);
}

void FileTab::handleDriveScanFinished()
{
    qDebug() << "FileTab::handleDriveScanFinished() called";
    ui->tableView->setAcceptDrops(false);
    ui->stackedWidget_scan->setCurrentWidget(ui->page_disk);
    ui->pushButton_file_stop_drive_scan->setEnabled(true);
    resetProgressBar();
}

void FileTab::digestFiles(QList<QString> p_paths)
{
    // The pipeline digests them; an empty list ends the scan with the
    // empty-scan message.
    qDebug().noquote()
        << QStringLiteral("FileTab::digestFiles() called with %1 items").arg(p_paths.size());
}

void FileTab::sendDigestsToOrvex(QList<QString> p_digests)
{
    qDebug() << "FileTab::sendDigestsToOrvex() called";
    QProgressBar *bar = ui->progressBar_file_drive_scan;
    bar->setMinimum(0);
    resetProgressBar();
    bar->setMaximum(0);
    Q_EMIT queryOrvex(p_digests);
}

void FileTab::OrvexQueryStarted()
{
    setProgressStatus(tr("Checking files against the malware database..."));
}

void FileTab::OrvexQueryFinished()
{
    // Ends the scan, as stopped when the user stopped the query.
    m_pipeline->handleQueryFinished();
}

void FileTab::setOrvexDataPacked(QString p_packed_data)
{
    m_pipeline->applyAnswer(p_packed_data);
}

void FileTab::setOrvexDataUnanswered(QString p_md5)
{
    m_pipeline->applyUnanswered(p_md5);
}

void FileTab::setOrvexData(QString p_packed_data, int p_orvex_item_property_enum, QVariant p_data)
{
    m_fileModel->setOrvexData(p_packed_data, p_orvex_item_property_enum, p_data);
}

void FileTab::returnToFilesPage()
{
    ui->label_file_scan_status->clear();
    resetProgressBar();
    ui->stackedWidget_scan->setCurrentWidget(ui->page_files);
    ui->tableView->setAcceptDrops(true);
}

void FileTab::handleFileScanFinished()
{
    m_pipeline->finishScan();
}

void FileTab::showScanFinished()
{
    qDebug() << "FileTab::handleFileScanFinished() called";
    applyProgressSteps();
    Q_EMIT fileScanFinished(m_fileModel->fileCount() != 0);
    returnToFilesPage();

    ui->tableView->sortByColumn(SqlModel::DetectionRateSection, Qt::DescendingOrder);
    fetchAllRows();
    ui->tableView->fitColumnsToContents({SqlModel::NameSection, SqlModel::PathSection,
                                         SqlModel::ScanTimeSection, SqlModel::SizeSection,
                                         SqlModel::StatusSection});
}

void FileTab::handleFileScanAborted()
{
    // Both workers are asked to stop; only the one that was running answers,
    // and a late second answer ends nothing.
    m_pipeline->abortScan();
}

void FileTab::showScanAborted()
{
    qDebug() << "FileTab::handleFileScanAborted() called";
    Q_EMIT fileScanAborted();
    returnToFilesPage();
    fetchAllRows();
}

void FileTab::showEmptyScanMessage()
{
    const QString text = scanLog()->emptyScanText(true);
    if (!text.isEmpty())
        UserPrompt::information(this, tr("Scan Information"), text);
}

// --- the table and its actions -------------------------------------------------

void FileTab::fetchAllRows()
{
    m_fetchingAll = true;
    // The table is painted once, when every row is in, rather than after
    // each slice of rows.
    ui->tableView->setUpdatesEnabled(false);
    fetchSomeRows();
}

void FileTab::fetchSomeRows()
{
    // A full drive scan leaves 100,000 rows and more: they are fetched in slices
    // between which the event loop runs, so the window stays responsive. The
    // count is taken once at the end instead of once per fetched block.
    QElapsedTimer slice;
    slice.start();
    while (m_fileModel->canFetchMore() && slice.elapsed() < FetchSliceMs)
        m_fileModel->fetchMore();
    if (m_fileModel->canFetchMore()) {
        if (!m_fetchTimer.isActive())
            m_fetchTimer.start();
        return;
    }
    m_fetchTimer.stop();
    m_fetchingAll = false;
    ui->tableView->setUpdatesEnabled(true);
    handleFileCountChanged();
}

void FileTab::handleFileCountChanged()
{
    if (m_fetchingAll)
        return;
    // Rows not fetched yet are in the table all the same.
    const int count =
        m_fileModel->canFetchMore() ? m_fileModel->fileCount() : m_fileModel->rowCount();
    handleFileCountChanged(count);
}

void FileTab::handleFileCountChanged(int p_count)
{
    ui->label_file_count->setText(p_count == 1 ? tr("1 file.") : tr("%L1 files.").arg(p_count));
    ui->actionExport->setEnabled(p_count != 0);
    ui->actionClear_Non_Malware_Entries->setEnabled(p_count != 0);
    handleFileSelectionChange(0, false);
    Q_EMIT fileCountChanged(p_count);
}

void FileTab::handleFileSelectionChange(int p_count, bool p_malicious)
{
    if (p_count == 0)
        ui->actionClear_Selected_Items->setText(tr("Clear Selected Items"));
    else if (p_count == 1)
        ui->actionClear_Selected_Items->setText(tr("Clear Selected Item"));
    else
        ui->actionClear_Selected_Items->setText(tr("Clear %1 Selected Items").arg(p_count));
    ui->actionReveal_File->setEnabled(p_count == 1);
    ui->actionReport_False_Positive->setEnabled(p_count == 1 && p_malicious);
    ui->actionClear_Selected_Items->setEnabled(p_count >= 1);
}

void FileTab::userSetFilter(QString p_filter)
{
    m_fileModel->userSetFilter(p_filter);
    fetchAllRows();
}

void FileTab::userClearSelectedItems()
{
    ui->tableView->removeSelectedIndexes();
}

void FileTab::userClearBenignFiles()
{
    if (UserPrompt::question(this, tr("Confirm Clear"),
                             tr("Are you sure you want to clear all non-malicious file entries?"),
                             QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    ui->actionClear_Non_Malware_Entries->setEnabled(false);
    m_fileModel->clearNonMaliciousEntries();
}

void FileTab::exportTable()
{
    try {
        TabExporter exporter(this);
        m_fileModel->exportTable(exporter);
        // No file: cancelled, or it could not be opened, which was reported.
        if (!exporter.fileName().isEmpty())
            UserPrompt::information(this, tr("Export"),
                                    tr("The table was exported to '%1'.")
                                        .arg(QDir::toNativeSeparators(exporter.fileName())));
    } catch (const QString &error) {
        UserPrompt::warning(this, tr("Error Exporting Data"),
                            tr("An error occurred during data export:\n\n%1").arg(error));
    } catch (...) {
        UserPrompt::warning(this, tr("Error Exporting Data"),
                            tr("An unknown error occurred during data export."));
    }
}

// --- progress page -------------------------------------------------------------

void FileTab::setProgressMaximum(int p_maximum)
{
    ui->progressBar_file_drive_scan->setMaximum(p_maximum);
}

void FileTab::setProgressValue(int p_value)
{
    ui->progressBar_file_drive_scan->setValue(p_value);
}

void FileTab::setProgressStatus(QString p_status)
{
    ui->label_file_scan_status->setText(p_status);
}

void FileTab::setProgressStep()
{
    // One step per registry answer, thousands a second; while the registry is
    // asked the bar is a busy indicator, which Qt repaints at once on every
    // change of value. The steps are added once per turn of the event loop.
    ++m_progressSteps;
    if (!m_progressStepTimer.isActive())
        m_progressStepTimer.start();
}

void FileTab::applyProgressSteps()
{
    m_progressStepTimer.stop();
    if (m_progressSteps == 0)
        return;
    QProgressBar *bar = ui->progressBar_file_drive_scan;
    bar->setValue(bar->value() + std::exchange(m_progressSteps, 0));
}

void FileTab::resetProgressBar()
{
    m_progressStepTimer.stop();
    m_progressSteps = 0;
    ui->progressBar_file_drive_scan->reset();
}

// --- drive menus ---------------------------------------------------------------

void FileTab::populateDriveScanOptions()
{
    auto *menu = qobject_cast<QMenu *>(sender());
    if (menu) {
        populateDriveMenu(menu);
        return;
    }
    populateDriveMenu(m_quickScanMenu);
    populateDriveMenu(m_fullScanMenu);
}

void FileTab::populateDriveMenu(QMenu *menu)
{
    menu->clear();
    const QList<MountedVolumes::Volume> volumes = m_volumeSource
                                                      ? MountedVolumes::scannable(m_volumeSource())
                                                      : QList<MountedVolumes::Volume>();
    for (const MountedVolumes::Volume &volume : volumes) {
        QAction *action =
            menu->addAction(QIcon(FileIcon::smallIcon(volume.rootPath, FileIcon::Kind::Volume)),
                            MountedVolumes::displayName(volume));
        action->setData(volume.rootPath);
    }
}

bool FileTab::isDriveRoot(const QString &path) const
{
    if (path.isEmpty())
        return false;
    if (FileProperties::isVolumeRoot(path))
        return true;
    if (!m_volumeSource)
        return false;
    const QList<MountedVolumes::Volume> volumes = MountedVolumes::scannable(m_volumeSource());
    for (const MountedVolumes::Volume &volume : volumes) {
        if (volume.rootPath == path)
            return true;
    }
    return false;
}

void FileTab::userStartDriveScan(QAction *p_action)
{
    if (!p_action)
        return;
    const bool full = m_fullScanMenu->actions().contains(p_action);
    if (full)
        qDebug().noquote() << QStringLiteral("FileTab::userStartDriveScan() got a full scan for %1")
                                  .arg(p_action->text());
    else
        qDebug().noquote() << QStringLiteral(
                                  "FileTab::userStartDriveScan() got a quick scan for %1")
                                  .arg(p_action->text());
    const QString path = p_action->data().toString();
    if (!isDriveRoot(path))
        return;
    startScan({QFileInfo(path)}, full ? FullScan : QuickScan);
}

// --- daily automatic scan ------------------------------------------------------

void FileTab::scheduleAutomaticDriveScan(QTime p_time)
{
    qDebug() << "FileTab::scheduleAutomaticDriveScan() called";
    m_automaticScanTime = p_time;
    if (p_time.isNull()) {
        qDebug() << "FileTab::scheduleAutomaticDriveScan() stopping automatic drive scan";
        m_automaticScanTimer.stop();
        // A scan that was due and waiting for a running one is no longer wanted.
        m_postponedScanTimer.stop();
        return;
    }
    const qint64 delay = automaticScanDelay(Clock::currentDateTime(), p_time);
    qDebug().noquote() << QStringLiteral(
                              "FileTab::scheduleAutomaticDriveScan() scheduling a drive scan in %1 "
                              "msecs")
                              .arg(delay);
    m_automaticScanTimer.start(static_cast<int>(delay));
}

void FileTab::startAutomaticDriveScan()
{
    qDebug() << "FileTab::startAutomaticDriveScan() called";
    m_automaticScanTimer.stop();
    if (isBusy()) {
        // A walk runs on the finder's thread and a registry query on the
        // handler's, so the two workers alone do not tell whether a scan runs.
        qDebug() << "FileTab::startAutomaticDriveScan() a scan is running, trying again later";
        m_postponedScanTimer.start(Clock::wait(AutomaticScanRetryMs));
        return;
    }
    if (m_automaticScanTime.isNull())
        return;
    // The next occurrence at least a minute away: a timer that fired a little
    // early must not schedule the same occurrence again.
    const QDateTime now = Clock::currentDateTime();
    const qint64 delay =
        automaticScanDelay(now.addMSecs(MsecsPerMinute), m_automaticScanTime) + MsecsPerMinute;
    m_automaticScanTimer.start(static_cast<int>(delay));
    qDebug().noquote()
        << QStringLiteral("FileTab::startAutomaticDriveScan() scheduling a drive scan in %1 msecs")
               .arg(delay);

    const QString drive = systemDrive();
    if (drive.isEmpty()) {
        qWarning() << "Couldn't start automatic drive scan because we can't find the system drive!";
        return;
    }
    Q_EMIT automaticScanStarted();
    startScan({QFileInfo(drive)}, QuickScan);
}
