#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class DigestCalculator;
class DriveScanner;
class FileScanLog;
class SlicedRelay;
class SqlModel;

// One file scan from the items to the verdicts, without a window: the items are
// walked, each kept file is stored in the file table (a thousand rows per
// transaction, with the size the walk read), the files without a digest are
// digested, the MD5 digests are handed out through queryRequested() and the
// registry's answers, given back through applyAnswer(), are stored in batches.
// The scan log is told of the start and the end. The Files tab and the
// command-line scan are two faces of this sequence: they start it, ask the
// registry for it and show what its signals report.
class FileScanPipeline : public QObject
{
    Q_OBJECT

public:
    enum ScanType { QuickScan = 0, FullScan = 1 };
    enum class Phase { Idle, Walking, Digesting, Querying };

    // The table is the caller's and must outlive the pipeline.
    explicit FileScanPipeline(SqlModel *model, QObject *parent = nullptr);
    ~FileScanPipeline() override;

    SqlModel *fileModel() const { return m_model; }
    DriveScanner *driveScanner() const { return m_driveScanner.get(); }
    DigestCalculator *digestWorker() const { return m_digestWorker.get(); }
    FileScanLog *scanLog() const { return m_scanLog.get(); }

    // Starts walking the items (paths of files and folders); false, and
    // nothing started, while a scan runs or a worker of the last one still ends.
    bool start(const QList<QString> &items, int scanType);

    Phase phase() const { return m_phase; }
    // From start() until finished() or aborted().
    bool isRunning() const { return m_phase != Phase::Idle; }
    // Running, or a worker or the registry query of the last scan has not
    // ended yet.
    bool isBusy() const;
    bool isStopRequested() const { return m_stopRequested; }

    // Tallies of the current (or last) scan.
    qint64 filesFound() const { return m_filesFound; }
    qint64 filesDigested() const { return m_filesDigested; }
    qint64 answersApplied() const { return m_answersApplied; }

Q_SIGNALS:
    // The walk's thread runs; the scan log has recorded the start.
    void started();
    // The walk ended and every found file is in the table; digesting follows.
    void walkFinished();
    // The files about to be digested; an empty list ends the scan and
    // emptyScan() follows.
    void digestStarting(QList<QString> paths);
    // Ask the registry about these MD5 digests (never an empty list). Its
    // answers go to applyAnswer(), the end of its query to handleQueryFinished().
    void queryRequested(QList<QString> digests);
    // The registry query under way must stop: the scan was stopped.
    void queryStopRequested();
    // A folder the walk could not read or enter (a scan item itself
    // included), in order with the files; the drive scanner lists them all.
    void folderUnreadable(QString path, QString reason);
    // A file that could not be opened or read, with the system's reason; its
    // row ends as unable to open.
    void fileUnreadable(QString path, QString reason);
    void progressStatus(QString status);
    void progressMaximum(int maximum);
    void progressValue(int value);
    // The scan ended with every answer stored and the scan log told.
    void finished();
    // Follows finished() when the walk kept no file.
    void emptyScan();
    // The scan was stopped: answered rows stay; unanswered ones are removed
    // unless the query was given up (giveUpQuery()).
    void aborted();

public Q_SLOTS:
    // A file of the walk. While the drive scanner emits fileFound it also
    // gives the size it read; otherwise the table reads it.
    void addFoundFile(QString path, int scanType);
    // One registry result record "md5|rate|last seen", stored in a batch at
    // the latest at the next turn of the event loop, and before the scan ends.
    void applyAnswer(QString packedData);
    // A digest the registry never answered: its rows end as unable to check,
    // after the answers that came before it.
    void applyUnanswered(QString md5);
    // The registry's query for this scan ended; the scan ends with it.
    void handleQueryFinished();
    // Stops whatever runs: the walk, the digests or the registry query. The
    // scan ends as aborted once the running worker has answered.
    void userRequestStop();
    // The registry cannot be reached: the query is stopped and the scan ends
    // as aborted, keeping the unanswered files as not checked.
    void giveUpQuery();
    // End now, whatever runs; nothing when no scan runs.
    void finishScan();
    void abortScan();

private:
    void setUpWorkers();
    void forwardFilesWithoutDigest();
    void handleWalkFinished();
    void handleDigestsFound(const QList<QString> &digests);
    void flushFoundFiles();
    void flushAnswers();
    void stopQuery();

    SqlModel *m_model;
    std::unique_ptr<DriveScanner> m_driveScanner;
    std::unique_ptr<DigestCalculator> m_digestWorker;
    std::unique_ptr<FileScanLog> m_scanLog;
    // Carries the digest worker's reports to this thread, in order.
    SlicedRelay *m_digestRelay = nullptr;

    Phase m_phase = Phase::Idle;
    bool m_stopRequested = false;
    bool m_keepUnanswered = false;
    // From queryRequested() until handleQueryFinished().
    bool m_queryRunning = false;

    // Files reported by the walk and not yet stored, with the sizes it read.
    QList<QString> m_foundFiles;
    QList<qint64> m_foundFileBytes;
    int m_foundFilesScanType = FullScan;
    QTimer m_foundFilesTimer;

    // Registry answers not stored yet.
    QList<QString> m_answers;
    QTimer m_answersTimer;

    qint64 m_filesFound = 0;
    qint64 m_filesDigested = 0;
    qint64 m_answersApplied = 0;
};
