#include "processes/modulemanager.h"

#include "files/digestcalculator.h"
#include "files/slicedrelay.h"
#include "platform/clock.h"
#include "platform/filename.h"
#include "platform/modulefile.h"
#include "platform/runningprocesses.h"
#include "processes/modulemodel.h"
#include "processes/modulerecord.h"
#include "processes/openedfiles.h"
#include "processes/processsqlmodel.h"
#include "processes/snapshotmerger.h"
#include "registry/orvexcache.h"
#include "registry/orvexhandler.h"

#include <QDebug>
#include <QHeaderView>
#include <QTableView>

// The files one digest worker reads.
struct ModuleManager::Batch
{
    DigestCalculator *digester = nullptr;
    OpenedFiles files;
    QHash<QString, FileGroup> groups; // key -> file
    QSet<QString> ended;              // keys with a result
    QSet<QString> failed;             // keys whose result is a failure
};

ModuleManager::ModuleManager(QObject *parent)
    : QObject(parent), m_relay(new SlicedRelay(this)), m_cache(std::make_unique<OrvexCache>()),
      m_model(new ModuleModel(this))
{
    qRegisterMetaType<QList<QString>>("QList<QString>");
    connect(m_model, &ModuleModel::modulesAdded, this, &ModuleManager::digestFiles);
    connect(m_model, &ModuleModel::malwareFound, this, &ModuleManager::malwareModuleFound);

    m_handler = std::make_unique<OrvexHandler>(m_cache.get());
    ModuleModel *model = m_model;
    // Answers come by the thousand on a first pass; the end comes after the last.
    m_relay->forward(m_handler.get(), &OrvexHandler::setOrvexDataPacked,
                     [model](const QString &record) { model->setOrvexDataPacked(record); });
    m_relay->forward(m_handler.get(), &OrvexHandler::digestUnanswered,
                     [model](const QString &md5) { model->setOrvexDataUnanswered(md5); });
    SlicedRelay *relay = m_relay;
    connect(
        m_handler.get(), &QThread::finished, relay,
        [this, relay] {
            relay->post([this] {
                m_model->handleOrvexQueryFinished();
                Q_EMIT moduleScanFinished();
            });
        },
        Qt::DirectConnection);

    m_finder = std::make_unique<WinModuleFinder>();
    connect(m_finder.get(), &WinModuleFinder::currentModuleFiles, this,
            &ModuleManager::receiveModuleFiles);
    connect(m_finder.get(), &WinModuleFinder::currentModules, this,
            &ModuleManager::receiveModuleList);

    m_timer.setInterval(Clock::wait(ScanIntervalMs));
    connect(&m_timer, &QTimer::timeout, this, &ModuleManager::scanModules);
}

ModuleManager::~ModuleManager()
{
    m_timer.stop();
    m_handler->userRequestStop();
    for (DigestCalculator *digester : std::as_const(m_digesters)) {
        digester->userRequestStop();
        digester->wait();
        delete digester;
    }
    m_digesters.clear();
    m_finder->wait();
    if (m_merger) {
        m_merger->wait();
        delete m_merger;
    }
    m_handler->wait();
}

bool ModuleManager::isDigesting() const
{
    return !m_digesters.isEmpty() || !m_queue.empty();
}

void ModuleManager::setScanEnabled(bool p_enabled)
{
    if (p_enabled) {
        m_timer.setInterval(Clock::wait(ScanIntervalMs));
        m_timer.start();
    } else {
        m_timer.stop();
    }
}

void ModuleManager::setView(QTableView *p_view)
{
    m_view = p_view;
    if (!p_view)
        return;
    p_view->setModel(m_model);
    p_view->sortByColumn(ModuleModel::BaseNameSection, Qt::DescendingOrder);
    p_view->resizeColumnsToContents();
    p_view->hideColumn(ModuleModel::DetectionPercentageSection);
    p_view->hideColumn(ModuleModel::OrvexStateSection);
    p_view->hideColumn(ModuleModel::IsLoadedSection);
}

void ModuleManager::setPIDModel(ProcessSqlModel *p_model)
{
    m_pidModel = p_model;
}

void ModuleManager::setFilterPID(quint32 p_pid)
{
    qDebug().noquote() << QStringLiteral("ModuleManager::setFilterPID( %1 ) called").arg(p_pid);
    m_model->setFilterPID(p_pid);
    if (m_view)
        m_view->resizeColumnsToContents();
}

void ModuleManager::scanModules()
{
    if (!m_pidModel) {
        qWarning() << "ModuleManager::scanModules() has no process table";
        return;
    }
    // The finder takes its own copy of the list when it starts; one still
    // running makes this tick a lost one.
    if (m_finder->isRunning())
        return;
    m_finder->setPIDs(m_pidModel->allPids());
    m_finder->start(QThread::TimeCriticalPriority);
}

void ModuleManager::addModules(QList<QString> p_modules)
{
    if (p_modules.isEmpty()) {
        qWarning() << "ModuleManager::addModules() got an empty list of modules!";
        return;
    }
    m_model->addModules(p_modules);
}

void ModuleManager::receiveModuleFiles(ModuleSnapshot p_details)
{
    m_details = std::move(p_details);
}

void ModuleManager::receiveModuleList(QList<QString> p_modules)
{
    if (m_merger) {
        // The newer snapshot supersedes any that waited before it.
        m_nextSnapshot.emplace(p_modules, std::move(m_details));
        m_details = ModuleSnapshot();
        return;
    }
    ModuleSnapshot details = std::move(m_details);
    m_details = ModuleSnapshot();
    m_mergeFiles = std::move(details.files);
    // Processes that could not be read keep the modules they had.
    QList<QString> records = p_modules;
    if (!details.unreadPids.isEmpty()) {
        const QSet<quint32> unread(details.unreadPids.cbegin(), details.unreadPids.cend());
        for (auto it = m_loaded.cbegin(); it != m_loaded.cend(); ++it) {
            quint32 pid = 0;
            QString path, name;
            if (ModuleRecord::unpack(it.key(), &pid, &path, &name) && unread.contains(pid))
                records.append(it.key());
        }
    }
    startMerge(records);
}

void ModuleManager::startMerge(const QList<QString> &records)
{
    QHash<QString, QString> current;
    current.reserve(records.size());
    for (const QString &record : records) {
        const auto file = m_mergeFiles.constFind(record);
        current.insert(record, file == m_mergeFiles.constEnd()
                                   ? m_loaded.value(record)
                                   : QString::fromLatin1(file->fileId()));
    }
    // A record whose path now maps another file is new again, not the same.
    QList<QString> previous;
    previous.reserve(m_loaded.size());
    for (auto it = m_loaded.cbegin(); it != m_loaded.cend(); ++it) {
        const auto now = current.constFind(it.key());
        if (now == current.constEnd() || *now == it.value())
            previous.append(it.key());
    }

    auto *merger = new SnapshotMerger;
    m_merger = merger;
    ModuleModel *model = m_model;
    m_relay->forward(merger, &SnapshotMerger::removedItems,
                     [model](const QList<QString> &gone) { model->removeModules(gone); });
    SlicedRelay *relay = m_relay;
    connect(
        merger, &SnapshotMerger::newItems, relay,
        [relay, model, current](const QList<QString> &added) {
            for (qsizetype from = 0; from < added.size(); from += StoreBatchSize) {
                const QList<QString> part = added.mid(from, StoreBatchSize);
                relay->post([model, part, current] {
                    QHash<QString, QString> fileIds;
                    for (const QString &record : part)
                        fileIds.insert(record, current.value(record));
                    model->addModules(part, fileIds);
                });
            }
        },
        Qt::DirectConnection);
    connect(
        merger, &QThread::finished, relay,
        [this, relay, merger] { relay->post([this, merger] { handleMergeFinished(merger); }); },
        Qt::DirectConnection);
    m_loaded = current;
    merger->setPreviousItems(previous);
    merger->setCurrentItems(records);
    merger->start(QThread::TimeCriticalPriority);
}

void ModuleManager::handleMergeFinished(SnapshotMerger *merger)
{
    merger->deleteLater();
    if (m_merger == merger)
        m_merger = nullptr;
    Q_EMIT modulesMerged();
    if (m_nextSnapshot) {
        auto next = std::move(*m_nextSnapshot);
        m_nextSnapshot.reset();
        m_details = std::move(next.second);
        receiveModuleList(next.first);
    }
}

void ModuleManager::digestFiles(QList<QString> p_modules)
{
    qDebug().noquote() << QStringLiteral("ModuleManager::digestFiles() called with %1 items")
                              .arg(p_modules.size());
    if (p_modules.isEmpty())
        return;
    // One entry per file, with every process it can be read through.
    QHash<QString, qsizetype> queued;
    std::deque<FileGroup> added;
    for (const QString &record : std::as_const(p_modules)) {
        quint32 pid = 0;
        QString path, name;
        const auto mapping = m_mergeFiles.constFind(record);
        if (!ModuleRecord::unpack(record, &pid, &path, &name) ||
            mapping == m_mergeFiles.constEnd()) {
            qWarning().noquote()
                << QStringLiteral("ModuleManager::digestFiles() knows no mapped file for '%1'")
                       .arg(record);
            continue;
        }
        FileGroup group;
        group.path = path;
        group.fileId = QString::fromLatin1(mapping->fileId());
        const QString key = group.key();
        // Being read already: its digests reach this row too.
        if (m_inFlight.contains(key))
            continue;
        const auto at = queued.constFind(key);
        if (at != queued.constEnd()) {
            added[size_t(*at)].holders.append({pid, *mapping});
            continue;
        }
        group.holders.append({pid, *mapping});
        queued.insert(key, qsizetype(added.size()));
        added.push_back(std::move(group));
        m_inFlight.insert(key);
    }
    for (FileGroup &group : added)
        m_queue.push_back(std::move(group));
    startNextBatch();
}

void ModuleManager::startNextBatch()
{
    while (m_digesters.isEmpty() && !m_queue.empty()) {
        auto batch = std::make_unique<Batch>();
        while (!m_queue.empty() && batch->files.size() < DigestBatchSize) {
            FileGroup group = std::move(m_queue.front());
            m_queue.pop_front();
            const QString key = group.key();
            int error = ESRCH;
            QList<quint32> tried;
            for (const Holder &holder : std::as_const(group.holders)) {
                UniqueFd fd;
                tried.append(holder.pid);
                error = ModuleFile::open(holder.pid, holder.mapping, &fd);
                if (error == 0) {
                    batch->files.add(std::move(fd), key);
                    break;
                }
            }
            if (error == 0) {
                batch->groups.insert(key, std::move(group));
                continue;
            }
            const QString context = QStringLiteral("ModuleManager::digestFiles() '%1'")
                                        .arg(FileName::readable(group.path));
            if (RunningProcesses::hasEnded(error))
                qDebug().noquote() << context << "is no longer loaded";
            else
                qWarning().noquote()
                    << context << "cannot be read:" << ModuleFile::errorText(error);
            giveUp(group, tried);
        }
        if (batch->files.isEmpty()) {
            m_model->select();
            continue;
        }

        qDebug().noquote() << QStringLiteral(
                                  "ModuleManager::startNextBatch() reading %1 module files")
                                  .arg(batch->files.size());
        auto *digester = new DigestCalculator;
        batch->digester = digester;
        m_digesters.append(digester);
        digester->setFiles(batch->files.paths());
        Batch *current = batch.get();
        m_batch = std::move(batch);
        ModuleModel *model = m_model;
        connect(digester, &DigestCalculator::setDigestData, this,
                [this, current, model](const QString &record) {
                    const qsizetype md5Bar = record.lastIndexOf(u'|');
                    const qsizetype sha1Bar = record.lastIndexOf(u'|', md5Bar - 1);
                    const QString key = current->files.keyOf(record.left(sha1Bar));
                    const auto group = current->groups.constFind(key);
                    if (group == current->groups.constEnd())
                        return;
                    current->ended.insert(key);
                    model->setFileDigests(group->path, group->fileId,
                                          record.mid(sha1Bar + 1, md5Bar - sha1Bar - 1),
                                          record.mid(md5Bar + 1));
                });
        connect(digester, &DigestCalculator::fileUnreadable, this,
                [this, current](const QString &path, const QString &reason) {
                    fileFailed(current, current->files.keyOf(path), reason);
                });
        connect(digester, &DigestCalculator::fileSkipped, this,
                [this, current](const QString &path, const QString &reason) {
                    fileFailed(current, current->files.keyOf(path), reason);
                });
        connect(digester, &DigestCalculator::fileChangedWhileRead, this,
                [this, current](const QString &path) {
                    fileFailed(current, current->files.keyOf(path),
                               tr("The file changed while it was read"));
                });
        OrvexHandler *handler = m_handler.get();
        connect(digester, &DigestCalculator::digestsFound, this,
                [handler](const QList<QString> &digests) {
                    if (!digests.isEmpty())
                        handler->sendQuery(digests);
                });
        connect(digester, &QThread::started, this, &ModuleManager::moduleScanStarted);
        connect(digester, &QThread::finished, this, &ModuleManager::handleDigestCalculatorFinished);
        digester->start(QThread::LowPriority);
    }
    if (m_digesters.isEmpty() && m_queue.empty())
        Q_EMIT digestsDone();
}

void ModuleManager::fileFailed(Batch *batch, const QString &key, const QString &reason)
{
    const auto group = batch->groups.constFind(key);
    if (group == batch->groups.constEnd())
        return;
    batch->ended.insert(key);
    batch->failed.insert(key);
    qWarning().noquote() << QStringLiteral("ModuleManager::digestFiles() '%1' cannot be read: %2")
                                .arg(FileName::readable(group->path), reason);
}

void ModuleManager::giveUp(const FileGroup &group, const QList<quint32> &tried)
{
    m_model->setFileUnreadable(group.path, group.fileId, tried);
    // Processes that loaded the file while it was being read have rows that
    // wait for it: the file may still be read through one of them.
    FileGroup again;
    again.path = group.path;
    again.fileId = group.fileId;
    const QString name = ModuleRecord::baseName(group.path);
    for (const quint32 pid : m_model->pidsAwaitingDigests(group.path, group.fileId)) {
        const auto mapping = m_mergeFiles.constFind(ModuleRecord::pack(pid, group.path, name));
        if (!tried.contains(pid) && mapping != m_mergeFiles.constEnd() &&
            QString::fromLatin1(mapping->fileId()) == group.fileId)
            again.holders.append({pid, *mapping});
        else
            m_model->setFileUnreadable(group.path, group.fileId, {pid});
    }
    if (again.holders.isEmpty())
        m_inFlight.remove(group.key());
    else
        m_queue.push_back(std::move(again));
}

void ModuleManager::handleDigestCalculatorFinished()
{
    auto *digester = qobject_cast<DigestCalculator *>(sender());
    if (!digester) {
        qWarning() << "ModuleManager::handleDigestCalculatorFinished() got a NULL sender!";
        return;
    }
    finishBatch(digester);
}

void ModuleManager::finishBatch(DigestCalculator *digester)
{
    m_digesters.removeAll(digester);
    digester->deleteLater();
    if (m_batch && m_batch->digester == digester) {
        const std::unique_ptr<Batch> batch = std::move(m_batch);
        batch->files.clear();
        for (auto it = batch->groups.cbegin(); it != batch->groups.cend(); ++it) {
            // A file without any result was not read at all (a stopped worker).
            if (batch->failed.contains(it.key()) || !batch->ended.contains(it.key())) {
                QList<quint32> pids;
                for (const Holder &holder : it->holders)
                    pids.append(holder.pid);
                giveUp(*it, pids);
            } else {
                m_inFlight.remove(it.key());
            }
        }
        m_model->select();
    }
    startNextBatch();
}
