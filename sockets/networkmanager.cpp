#include "sockets/networkmanager.h"

#include "platform/clock.h"
#include "processes/snapshotmerger.h"
#include "sockets/socketmodel.h"
#include "sockets/winsocketfinder.h"

#include <QDebug>
#include <QSortFilterProxyModel>
#include <QTableView>

NetworkManager::NetworkManager(QWidget *parent)
    : QWidget(parent), m_model(std::make_unique<SocketModel>()),
      m_finder(std::make_unique<WinSocketFinder>()),
      m_proxy(std::make_unique<QSortFilterProxyModel>())
{
    connect(m_finder.get(), &WinSocketFinder::currentSockets, this,
            &NetworkManager::receiveSocketSnapshot);
    m_proxy->setSourceModel(m_model.get());
    m_proxy->setDynamicSortFilter(true);
    m_proxy->setSortRole(Qt::UserRole);
    m_proxy->setSortCaseSensitivity(Qt::CaseInsensitive);
    m_proxy->setFilterRole(Qt::UserRole);
    m_proxy->setFilterCaseSensitivity(Qt::CaseInsensitive);
    m_proxy->setFilterKeyColumn(6);
    m_timer.setInterval(Clock::wait(PollIntervalMs));
    connect(&m_timer, &QTimer::timeout, this, &NetworkManager::scanSockets);
}

NetworkManager::~NetworkManager()
{
    m_timer.stop();
    m_finder->wait();
    if (m_merger) {
        m_merger->wait();
        delete m_merger;
    }
    // The view may outlive this: it must not keep the proxy about to go.
    if (m_view && m_view->model() == m_proxy.get())
        m_view->setModel(nullptr);
}

void NetworkManager::setView(QTableView *view)
{
    m_view = view;
    if (!view)
        return;
    view->setModel(m_proxy.get());
    view->sortByColumn(0, Qt::DescendingOrder);
    connect(m_model.get(), &QAbstractItemModel::modelReset, view,
            &QTableView::resizeColumnsToContents);
    connect(m_model.get(), &QAbstractItemModel::rowsInserted, view,
            &QTableView::resizeRowsToContents);
}

void NetworkManager::setScanEnabled(bool enabled)
{
    if (enabled) {
        m_timer.setInterval(Clock::wait(PollIntervalMs));
        m_timer.start();
    } else {
        m_timer.stop();
    }
    Q_EMIT socketScanEnabled(enabled);
}

void NetworkManager::setFilterPID(quint32 pid)
{
    qDebug().noquote() << QStringLiteral("NetworkManager::setFilterPID( %1 ) called").arg(pid);
    m_proxy->setFilterFixedString(QString::number(pid));
    if (m_view)
        m_view->resizeRowsToContents();
}

void NetworkManager::scanSockets()
{
    m_finder->start(QThread::TimeCriticalPriority);
}

void NetworkManager::receiveSocketSnapshot(QList<QString> sockets)
{
    if (m_merger) {
        m_nextSnapshot = sockets;
        return;
    }
    auto *merger = new SnapshotMerger;
    m_merger = merger;
    // Queued: the rows are appended on this thread, before the merge's end
    // (posted after them by the same thread) lets the next merge read them.
    connect(merger, &SnapshotMerger::newItems, m_model.get(), &SocketModel::addSockets);
    connect(merger, &SnapshotMerger::removedItems, m_model.get(), &SocketModel::removeSockets);
    connect(merger, &QThread::finished, this, [this, merger] { handleMergeFinished(merger); });
    merger->setPreviousItems(m_model->sockets());
    merger->setCurrentItems(sockets);
    merger->start(QThread::TimeCriticalPriority);
}

void NetworkManager::handleMergeFinished(SnapshotMerger *merger)
{
    merger->deleteLater();
    if (m_merger == merger)
        m_merger = nullptr;
    Q_EMIT socketsMerged();
    if (m_nextSnapshot) {
        const QList<QString> next = *m_nextSnapshot;
        m_nextSnapshot.reset();
        receiveSocketSnapshot(next);
    }
}
