#include "processes/processmonitor.h"

#include "files/slicedrelay.h"
#include "platform/clock.h"
#include "platform/executableicon.h"
#include "processes/modulemanager.h"
#include "processes/processsqlmodel.h"
#include "processes/snapshotmerger.h"
#include "processes/winprocessfinder.h"
#include "processes/winprocesspopulator.h"
#include "registry/orvexhandler.h"

#include <QDebug>

#include <atomic>

namespace {
std::atomic<bool> g_monitoringEnabled{true};
} // namespace

ProcessMonitor::ProcessMonitor(QObject *parent)
    : QObject(parent), m_relay(new SlicedRelay(this)), m_model(new ProcessSqlModel(this)),
      m_modules(new ModuleManager(this)), m_finder(std::make_unique<WinProcessFinder>()),
      m_populator(std::make_unique<WinProcessPopulator>())
{
    qRegisterMetaType<QList<QString>>("QList<QString>");
    // The populator's thread cannot draw: the icons are made here, once.
    ExecutableIcon::prepare();

    connect(m_model, &ProcessSqlModel::malwareFound, this, &ProcessMonitor::malwareProcessFound);
    m_modules->setPIDModel(m_model);
    connect(m_modules, &ModuleManager::malwareModuleFound, m_model,
            &ProcessSqlModel::malwareModuleFound);
    connect(m_modules, &ModuleManager::malwareModuleFound, this,
            &ProcessMonitor::malwareModuleFound);
    connect(m_modules, &ModuleManager::moduleScanStarted, this,
            &ProcessMonitor::processScanStarted);
    connect(m_modules, &ModuleManager::moduleScanFinished, this,
            &ProcessMonitor::processScanFinished);
    connect(m_finder.get(), &WinProcessFinder::currentProcessData, this,
            &ProcessMonitor::receiveSnapshotData);

    connect(m_populator.get(), &WinProcessPopulator::failedToEnableDebugPrivileges, this,
            &ProcessMonitor::privilegesNotSufficient);
    connect(m_populator.get(), &WinProcessPopulator::processDenied, this,
            &ProcessMonitor::privilegesNotSufficient);
    ProcessSqlModel *model = m_model;
    m_relay->forward(m_populator.get(), &ProcessModifier::setProcessProperty,
                     [model](const QString &record, int property, const QVariant &value) {
                         model->setData(record, property, value);
                     });
    // After the digests themselves, so that the rows hold them before any answer.
    m_relay->forward(m_populator.get(), &WinProcessPopulator::processDigests,
                     [this](const QList<QString> &digests) { Q_EMIT queryOrvex(digests); });
    connect(m_populator.get(), &QThread::finished, this, &ProcessMonitor::handlePopulatorFinished);
    WinProcessPopulator::enableDebugPrivileges();

    m_timer.setInterval(Clock::wait(PollIntervalMs));
    connect(&m_timer, &QTimer::timeout, this, &ProcessMonitor::scanProcesses);
}

ProcessMonitor::~ProcessMonitor()
{
    m_timer.stop();
    m_populator->userRequestStop();
    m_populator->wait();
    m_finder->wait();
    if (m_merger) {
        m_merger->wait();
        delete m_merger;
    }
}

void ProcessMonitor::setTestMonitoringEnabled(bool enabled)
{
    g_monitoringEnabled.store(enabled);
}

void ProcessMonitor::attachQuery(OrvexHandler *handler)
{
    ProcessSqlModel *model = m_model;
    m_relay->forward(handler, &OrvexHandler::setOrvexDataPacked,
                     [model](const QString &record) { model->setOrvexDataPacked(record); });
    SlicedRelay *relay = m_relay;
    connect(
        handler, &QThread::finished, relay,
        [this, relay] {
            relay->post([this] {
                // A module check still under way ends the scan itself.
                if (!m_modules->isDigesting())
                    Q_EMIT processScanFinished();
            });
        },
        Qt::DirectConnection);
}

void ProcessMonitor::scanProcesses()
{
    // A snapshot still being taken makes this tick a lost one.
    m_finder->start(QThread::TimeCriticalPriority);
}

void ProcessMonitor::receiveSnapshotData(QList<QString> p_snapshot)
{
    if (m_merger) {
        // The newer snapshot supersedes any that waited before it.
        m_nextSnapshot = p_snapshot;
        return;
    }
    startMerge(p_snapshot);
}

void ProcessMonitor::startMerge(const QList<QString> &snapshot)
{
    auto *merger = new SnapshotMerger;
    m_merger = merger;
    ProcessSqlModel *model = m_model;
    // Removals are reported first and applied first.
    m_relay->forward(merger, &SnapshotMerger::removedItems,
                     [model](const QList<QString> &records) { model->removeProcesses(records); });
    m_relay->forward(merger, &SnapshotMerger::newItems, [this](const QList<QString> &records) {
        m_model->addProcesses(records);
        Q_EMIT processScanStarted();
        handleNewProcessData(records);
    });
    SlicedRelay *relay = m_relay;
    connect(
        merger, &QThread::finished, relay,
        [this, relay, merger] { relay->post([this, merger] { handleMergeFinished(merger); }); },
        Qt::DirectConnection);
    merger->setPreviousItems(m_model->aliveProcessRecords());
    merger->setCurrentItems(snapshot);
    merger->start(QThread::InheritPriority);
}

void ProcessMonitor::handleMergeFinished(SnapshotMerger *merger)
{
    merger->deleteLater();
    if (m_merger == merger)
        m_merger = nullptr;
    Q_EMIT snapshotMerged();
    if (m_nextSnapshot) {
        const QList<QString> next = *std::exchange(m_nextSnapshot, std::nullopt);
        startMerge(next);
    }
}

void ProcessMonitor::setScanEnabled(bool p_enabled)
{
    if (p_enabled && !g_monitoringEnabled.load()) {
        qDebug() << "ProcessMonitor::setScanEnabled() process monitoring is switched off";
        p_enabled = false;
    }
    if (p_enabled) {
        m_timer.setInterval(Clock::wait(PollIntervalMs));
        m_timer.start();
    } else {
        m_timer.stop();
    }
    m_modules->setScanEnabled(p_enabled);
    Q_EMIT processScanEnabled(p_enabled);
}

void ProcessMonitor::setOrvexDataPacked(QString p_packed_data)
{
    m_model->setOrvexDataPacked(p_packed_data);
}

void ProcessMonitor::handleNewProcessData(QList<QString> p_processes)
{
    qDebug().noquote() << QStringLiteral("ProcessMonitor::handleNewProcessData() got %1 processes")
                              .arg(p_processes.size());
    m_populator->setProcessData(p_processes);
    m_populator->start(QThread::InheritPriority);
}

void ProcessMonitor::handlePopulatorFinished()
{
    // A batch that came as the last run was ending was never taken.
    if (m_populator->hasUntakenBatch())
        m_populator->start(QThread::InheritPriority);
}
