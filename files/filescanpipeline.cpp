#include "files/filescanpipeline.h"

#include "files/digestcalculator.h"
#include "files/drivescanner.h"
#include "files/filescanlog.h"
#include "files/slicedrelay.h"
#include "files/sqlmodel.h"

#include <QDebug>
#include <QThread>

#include <climits>
#include <utility>

namespace {
// Files stored in one transaction at most.
constexpr int FoundFilesBatch = 1000;
// Registry answers handed to the table together at most.
constexpr int AnswersBatch = 1000;
} // namespace

FileScanPipeline::FileScanPipeline(SqlModel *model, QObject *parent)
    : QObject(parent), m_model(model)
{
    setUpWorkers();
    m_foundFilesTimer.setSingleShot(true);
    m_foundFilesTimer.setInterval(0);
    connect(&m_foundFilesTimer, &QTimer::timeout, this, &FileScanPipeline::flushFoundFiles);
    m_answersTimer.setSingleShot(true);
    m_answersTimer.setInterval(0);
    connect(&m_answersTimer, &QTimer::timeout, this, &FileScanPipeline::flushAnswers);
}

FileScanPipeline::~FileScanPipeline()
{
    // The workers are waited for by their destructors; a stop makes that short.
    m_driveScanner->userRequestStop();
    m_digestWorker->userRequestStop();
    m_scanLog.reset();
    m_driveScanner.reset();
    m_digestWorker.reset();
}

void FileScanPipeline::setUpWorkers()
{
    m_digestRelay = new SlicedRelay(this);
    m_digestWorker = std::make_unique<DigestCalculator>();
    m_driveScanner = std::make_unique<DriveScanner>();
    m_scanLog = std::make_unique<FileScanLog>();
    m_scanLog->setFileModel(m_model);
    m_scanLog->setDriveScanner(m_driveScanner.get());

    DriveScanner *scanner = m_driveScanner.get();
    connect(scanner, &QThread::started, this, [this] {
        if (m_phase != Phase::Walking)
            return;
        m_scanLog->handleScanStarted();
        Q_EMIT started();
    });
    connect(scanner, &ProgressInterface::progressStatus, this, &FileScanPipeline::progressStatus);
    connect(scanner, &ProgressInterface::progressMaximum, this, &FileScanPipeline::progressMaximum);
    connect(scanner, &ProgressInterface::progressValue, this, &FileScanPipeline::progressValue);
    // Direct: the slot takes the size the walk read while the report is made.
    connect(scanner, &DriveScanner::fileFound, this, &FileScanPipeline::addFoundFile,
            Qt::DirectConnection);
    connect(scanner, &ProgressInterface::userStopped, this, [this] {
        if (m_phase == Phase::Walking)
            abortScan();
    });
    connect(scanner, &DriveScanner::scanFinished, this, &FileScanPipeline::handleWalkFinished);
    connect(scanner, &DriveScanner::folderUnreadable, this, [this](QString path, QString reason) {
        if (m_phase == Phase::Walking)
            Q_EMIT folderUnreadable(path, reason);
    });

    // The digests reach the table through the relay, a slice per turn of the
    // event loop and in order, so the end of the list never overtakes the last
    // digests and the event loop keeps serving while small files race by.
    DigestCalculator *digests = m_digestWorker.get();
    SlicedRelay *relay = m_digestRelay;
    relay->forward(digests, &DigestCalculator::setDigestData, [this](const QString &record) {
        m_model->setDigestData(record);
        ++m_filesDigested;
    });
    relay->forward(digests, &DigestCalculator::unableToOpenFile, [this](const QString &path) {
        m_model->setUnableToOpenFile(path);
        ++m_filesDigested;
    });
    forwardFilesWithoutDigest();
    relay->forward(digests, &DigestCalculator::digestsFound,
                   [this](const QList<QString> &md5s) { handleDigestsFound(md5s); });
    relay->forward(digests, &ProgressInterface::userStopped, [this] {
        if (m_phase == Phase::Digesting)
            abortScan();
    });
    relay->forward(digests, &ProgressInterface::progressStatus,
                   [this](const QString &status) { Q_EMIT progressStatus(status); });
    relay->forward(digests, &ProgressInterface::progressMaximum,
                   [this](int maximum) { Q_EMIT progressMaximum(maximum); });
    relay->forward(digests, &ProgressInterface::progressValue,
                   [this](int value) { Q_EMIT progressValue(value); });
}

void FileScanPipeline::forwardFilesWithoutDigest()
{
    // In order with the digests, through the same relay: every file the walk
    // kept ends with a digest or a row that says why it has none.
    DigestCalculator *digests = m_digestWorker.get();
    SlicedRelay *relay = m_digestRelay;
    relay->forward(digests, &DigestCalculator::fileUnreadable,
                   [this](const QString &path, const QString &reason) {
                       Q_EMIT fileUnreadable(path, reason);
                   });
    relay->forward(digests, &DigestCalculator::fileSkipped,
                   [this](const QString &path, const QString &reason) {
                       m_model->setFileSkipped(path, reason);
                       ++m_filesDigested;
                   });
    relay->forward(digests, &DigestCalculator::fileChangedWhileRead, [this](const QString &path) {
        m_model->setFileChangedWhileRead(path);
        ++m_filesDigested;
    });
}

bool FileScanPipeline::isBusy() const
{
    // A stopped query ends on its own thread a little later; its end must not
    // be taken for the end of the next scan's query.
    return isRunning() || m_queryRunning || m_driveScanner->isRunning() ||
           m_digestWorker->isRunning();
}

bool FileScanPipeline::start(const QList<QString> &items, int scanType)
{
    if (isBusy())
        return false;
    qDebug().noquote()
        << QStringLiteral("FileScanPipeline::start() called with %1 items").arg(items.size());
    m_phase = Phase::Walking;
    m_stopRequested = false;
    m_keepUnanswered = false;
    m_filesFound = 0;
    m_filesDigested = 0;
    m_answersApplied = 0;
    m_driveScanner->setExtensions(scanType == QuickScan ? DriveScanner::quickScanExtensions()
                                                        : QList<QString>());
    m_driveScanner->setDrives(items);
    m_driveScanner->start(QThread::LowPriority);
    return true;
}

void FileScanPipeline::addFoundFile(QString path, int scanType)
{
    // Reports still on their way when a scan was stopped belong to no scan.
    if (m_phase != Phase::Walking)
        return;
    if (!m_foundFiles.isEmpty() && scanType != m_foundFilesScanType)
        flushFoundFiles();
    m_foundFilesScanType = scanType;
    m_foundFiles.append(path);
    const qint64 bytes = m_driveScanner->reportedFileBytes();
    m_foundFileBytes.append(bytes == DriveScanner::NotMeasured ? SqlModel::NotMeasured : bytes);
    ++m_filesFound;
    // A fast walk keeps the event loop busy with its reports and the timer
    // waits; a bounded batch keeps each insert short.
    if (m_foundFiles.size() >= FoundFilesBatch)
        flushFoundFiles();
    else if (!m_foundFilesTimer.isActive())
        m_foundFilesTimer.start();
}

void FileScanPipeline::flushFoundFiles()
{
    m_foundFilesTimer.stop();
    if (m_foundFiles.isEmpty())
        return;
    m_model->addFiles(std::exchange(m_foundFiles, {}), m_foundFilesScanType,
                      std::exchange(m_foundFileBytes, {}));
}

void FileScanPipeline::handleWalkFinished()
{
    if (m_phase != Phase::Walking)
        return;
    qDebug() << "FileScanPipeline::handleWalkFinished() called";
    flushFoundFiles();
    if (m_stopRequested) {
        // The walk ended just before it saw the stop; the user still asked for one.
        abortScan();
        return;
    }
    m_phase = Phase::Digesting;
    Q_EMIT walkFinished();
    const QList<QString> paths = m_model->filesToDigest(INT_MAX);
    Q_EMIT digestStarting(paths);
    if (m_phase != Phase::Digesting)
        return; // ended by a receiver
    if (paths.isEmpty()) {
        finishScan();
        Q_EMIT emptyScan();
        return;
    }
    m_digestWorker->setFiles(paths);
    m_digestWorker->start(QThread::LowPriority);
}

void FileScanPipeline::handleDigestsFound(const QList<QString> &digests)
{
    if (m_phase != Phase::Digesting)
        return;
    qDebug().noquote() << QStringLiteral(
                              "FileScanPipeline::handleDigestsFound() called with %1 digests")
                              .arg(digests.size());
    if (m_stopRequested) {
        // Digesting ended just before the stop reached the worker.
        abortScan();
        return;
    }
    if (digests.isEmpty()) {
        finishScan();
        return;
    }
    m_phase = Phase::Querying;
    m_queryRunning = true;
    Q_EMIT queryRequested(digests);
}

void FileScanPipeline::applyAnswer(QString packedData)
{
    // A large query is answered by the hundred thousand; the table stores
    // answers with equal values together. Answers that come after a stop
    // still belong to rows of the table.
    m_answers.append(packedData);
    ++m_answersApplied;
    if (m_answers.size() >= AnswersBatch)
        flushAnswers();
    else if (!m_answersTimer.isActive())
        m_answersTimer.start();
}

void FileScanPipeline::applyUnanswered(QString md5)
{
    flushAnswers();
    ++m_answersApplied;
    m_model->setUnableToCheck(md5);
}

void FileScanPipeline::flushAnswers()
{
    m_answersTimer.stop();
    if (m_answers.isEmpty())
        return;
    m_model->setOrvexDataPackedBatch(std::exchange(m_answers, {}));
}

void FileScanPipeline::handleQueryFinished()
{
    m_queryRunning = false;
    if (m_phase != Phase::Querying)
        return;
    if (m_stopRequested)
        abortScan();
    else
        finishScan();
}

void FileScanPipeline::userRequestStop()
{
    if (!isRunning())
        return;
    qDebug() << "FileScanPipeline::userRequestStop() called";
    m_stopRequested = true;
    m_keepUnanswered = false;
    m_driveScanner->userRequestStop();
    m_digestWorker->userRequestStop();
    stopQuery();
}

void FileScanPipeline::stopQuery()
{
    if (m_queryRunning)
        Q_EMIT queryStopRequested();
}

void FileScanPipeline::giveUpQuery()
{
    if (m_phase != Phase::Querying || m_stopRequested)
        return;
    qDebug() << "FileScanPipeline::giveUpQuery() called";
    m_stopRequested = true;
    m_keepUnanswered = true;
    stopQuery();
}

void FileScanPipeline::finishScan()
{
    if (!isRunning())
        return;
    qDebug() << "FileScanPipeline::finishScan() called";
    m_phase = Phase::Idle;
    flushFoundFiles();
    flushAnswers();
    m_scanLog->handleScanFinished();
    Q_EMIT finished();
    stopQuery();
}

void FileScanPipeline::abortScan()
{
    if (!isRunning())
        return;
    qDebug() << "FileScanPipeline::abortScan() called";
    const Phase phase = std::exchange(m_phase, Phase::Idle);
    // Ended from outside while a worker still runs: it must not carry on.
    if (phase == Phase::Walking)
        m_driveScanner->userRequestStop();
    else if (phase == Phase::Digesting)
        m_digestWorker->userRequestStop();
    stopQuery();
    m_foundFilesTimer.stop();
    m_foundFiles.clear();
    m_foundFileBytes.clear();
    // Rows already answered stay.
    flushAnswers();
    m_scanLog->handleScanAborted();
    if (!m_keepUnanswered)
        m_model->clearAbortedEntries();
    Q_EMIT aborted();
}
