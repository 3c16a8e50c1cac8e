#pragma once

#include "platform/processmaps.h"
#include "processes/winmodulefinder.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>
#include <optional>

class DigestCalculator;
class ModuleModel;
class OpenedFiles;
class OrvexCache;
class OrvexHandler;
class ProcessSqlModel;
class QTableView;
class SlicedRelay;
class SnapshotMerger;

// Checks the modules of every process in the process table, on its own:
// every ten seconds a module snapshot of those processes, its difference
// against the module table, and for each module file not yet known its
// digests and the registry's verdict. A module found to be malware raises
// malwareModuleFound() with its path and the process that loaded it.
//
// Each module file is read once, as mapped by one of the processes that load
// it (ModuleFile), and once only however many load it. The verdicts come from
// one registry handler that lives as long as the manager: a registry that
// stays down holds the checks until the user's Retry reaches it
// (orvexHandler()->userRequestReconnect()), and later checks join it.
class ModuleManager : public QObject
{
    Q_OBJECT

public:
    static constexpr int ScanIntervalMs = 10000;
    // Files a digest worker reads in one run: each is held open meanwhile.
    static constexpr int DigestBatchSize = 256;
    // Records stored per turn of the event loop, so that the first pass over
    // a busy machine (tens of thousands of modules) never freezes the window.
    static constexpr int StoreBatchSize = 500;

    explicit ModuleManager(QObject *parent = nullptr);
    ~ModuleManager() override;

    ModuleModel *model() const { return m_model; }
    OrvexHandler *orvexHandler() const { return m_handler.get(); }
    WinModuleFinder *finder() const { return m_finder.get(); }
    // Digest workers run or wait to run.
    bool isDigesting() const;
    bool isScanEnabled() const { return m_timer.isActive(); }
    // The interval as waited (the designed one unless a test shortened it).
    int scanInterval() const { return m_timer.interval(); }

Q_SIGNALS:
    void malwareModuleFound(QString p_path, quint32 p_pid);
    void moduleScanStarted();
    void moduleScanFinished();
    // A snapshot's differences are in the table (also when there were none).
    void modulesMerged();
    // Every module file handed to digestFiles() so far has its digests or has
    // been given up.
    void digestsDone();

public Q_SLOTS:
    void setScanEnabled(bool p_enabled);
    void setView(QTableView *p_view);
    void setPIDModel(ProcessSqlModel *p_model);
    void setFilterPID(quint32 p_pid);
    // Takes a module snapshot unless one is still being taken.
    void scanModules();

protected Q_SLOTS:
    void addModules(QList<QString> p_modules);
    void receiveModuleList(QList<QString> p_modules);
    // The records of rows that need digests.
    void digestFiles(QList<QString> p_modules);
    void handleDigestCalculatorFinished();

private:
    struct Holder
    {
        quint32 pid = 0;
        MappedFile mapping;
    };
    // One module file: its path as the table stores it, its identity and the
    // processes it can be read through.
    struct FileGroup
    {
        QString path;
        QString fileId;
        QList<Holder> holders;
        QString key() const { return fileId + u'\n' + path; }
    };
    struct Batch;

    void receiveModuleFiles(ModuleSnapshot p_details);
    void startMerge(const QList<QString> &records);
    void handleMergeFinished(SnapshotMerger *merger);
    void startNextBatch();
    void fileFailed(Batch *batch, const QString &key, const QString &reason);
    // The file could not be read through these processes; others that load
    // it may still be tried.
    void giveUp(const FileGroup &group, const QList<quint32> &tried);
    void finishBatch(DigestCalculator *digester);

    QTimer m_timer;
    SlicedRelay *m_relay;
    std::unique_ptr<OrvexCache> m_cache;
    ModuleModel *m_model;
    std::unique_ptr<OrvexHandler> m_handler;
    std::unique_ptr<WinModuleFinder> m_finder;
    QPointer<ProcessSqlModel> m_pidModel;
    QPointer<QTableView> m_view;

    // The snapshot details that came with the records being received.
    ModuleSnapshot m_details;
    // One merge at a time, each against what the one before stored.
    SnapshotMerger *m_merger = nullptr;
    std::optional<std::pair<QList<QString>, ModuleSnapshot>> m_nextSnapshot;
    // What the last merge stored as loaded: record -> file identity.
    QHash<QString, QString> m_loaded;
    // Mapped files of the snapshot being merged, by record.
    QHash<QString, MappedFile> m_mergeFiles;

    // Files waiting for a digest worker, and those being read (by key).
    std::deque<FileGroup> m_queue;
    QSet<QString> m_inFlight;
    QList<DigestCalculator *> m_digesters;
    std::unique_ptr<Batch> m_batch;
};
