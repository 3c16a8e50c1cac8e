#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

class ModuleManager;
class OrvexHandler;
class ProcessSqlModel;
class SlicedRelay;
class SnapshotMerger;
class WinProcessFinder;
class WinProcessPopulator;

// Watches the machine's processes without a window: once a second a snapshot,
// its difference against the alive rows of the process table, and for each new
// process its path, icons and digests; the digests go out through queryOrvex()
// and the registry's answers come back to the table. Every ten seconds the
// module manager checks the modules those processes have loaded, with a
// registry handler of its own; a malicious module counts against its process.
// The Processes tab builds its views on model() and moduleManager() and relays
// the registry road as an OrvexTab does.
//
// Everything the table takes in (merges, property changes, answers) comes
// through one relay, in the order it was reported and a slice per turn of the
// event loop, so thousands of changes never freeze the window.
class ProcessMonitor : public QObject
{
    Q_OBJECT

public:
    static constexpr int PollIntervalMs = 1000;

    explicit ProcessMonitor(QObject *parent = nullptr);
    ~ProcessMonitor() override;

    ProcessSqlModel *model() const { return m_model; }
    ModuleManager *moduleManager() const { return m_modules; }
    bool isScanEnabled() const { return m_timer.isActive(); }
    // The poll interval as waited (the designed one unless a test shortened it).
    int pollInterval() const { return m_timer.interval(); }

    // The answers of a registry query started for queryOrvex() reach the table
    // through here, and its end through processScanFinished().
    void attachQuery(OrvexHandler *handler);

    // Test seam, never used by the shipped program: switched off, monitoring
    // does not start, so a test that builds the main window reads no process.
    static void setTestMonitoringEnabled(bool enabled);

Q_SIGNALS:
    void queryOrvex(QList<QString>);
    void malwareProcessFound(QString p_path, quint32 p_pid);
    void malwareModuleFound(QString p_path, quint32 p_pid);
    void processScanStarted();
    void processScanFinished();
    void processScanEnabled(bool);
    void privilegesNotSufficient();
    // A snapshot's differences are in the table (also when there were none).
    void snapshotMerged();

public Q_SLOTS:
    // Takes a snapshot unless one is still being taken.
    void scanProcesses();
    void receiveSnapshotData(QList<QString> p_snapshot);
    void setScanEnabled(bool p_enabled);
    void setOrvexDataPacked(QString p_packed_data);

protected Q_SLOTS:
    void handleNewProcessData(QList<QString> p_processes);

private:
    void startMerge(const QList<QString> &snapshot);
    void handleMergeFinished(SnapshotMerger *merger);
    void handlePopulatorFinished();

    QTimer m_timer;
    SlicedRelay *m_relay;
    ProcessSqlModel *m_model;
    ModuleManager *m_modules;
    std::unique_ptr<WinProcessFinder> m_finder;
    std::unique_ptr<WinProcessPopulator> m_populator;
    // One merge at a time, each against the table as the one before left it:
    // two merges against the same rows would both insert the new processes.
    SnapshotMerger *m_merger = nullptr;
    std::optional<QList<QString>> m_nextSnapshot;
};
