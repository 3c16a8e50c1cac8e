#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>

class QSortFilterProxyModel;
class QTableView;
class SnapshotMerger;
class SocketModel;
class WinSocketFinder;

// The socket monitor: once switched on, every 100 ms a snapshot of the
// machine's IPv4 endpoints, whose new records are appended to the socket
// table, shown filtered to the selected process. It is built and wired but
// stays switched off: nothing calls setScanEnabled(true), and its table is
// hidden. A widget that is never shown.
class NetworkManager : public QWidget
{
    Q_OBJECT

public:
    static constexpr int PollIntervalMs = 100;

    explicit NetworkManager(QWidget *parent = nullptr);
    ~NetworkManager() override;

    // Keeps the view and shows the filtered table in it; called once, first.
    void setView(QTableView *view);

    SocketModel *model() const { return m_model.get(); }
    QSortFilterProxyModel *proxy() const { return m_proxy.get(); }
    WinSocketFinder *finder() const { return m_finder.get(); }
    bool isScanEnabled() const { return m_timer.isActive(); }
    // The interval as waited (the designed one unless a test shortened it).
    int pollInterval() const { return m_timer.interval(); }

Q_SIGNALS:
    void socketScanEnabled(bool);
    // A snapshot's new records are in the table (also when there were none).
    void socketsMerged();

public Q_SLOTS:
    void setScanEnabled(bool enabled);
    void setFilterPID(quint32 pid);
    // Takes a snapshot unless one is still being taken (the tick is lost).
    void scanSockets();
    void receiveSocketSnapshot(QList<QString> sockets);

private:
    void handleMergeFinished(SnapshotMerger *merger);

    std::unique_ptr<SocketModel> m_model;
    std::unique_ptr<WinSocketFinder> m_finder;
    std::unique_ptr<QSortFilterProxyModel> m_proxy;
    QTimer m_timer;
    QPointer<QTableView> m_view;
    // One merge at a time, each against the rows the one before appended:
    // two overlapping merges would append the same records twice.
    SnapshotMerger *m_merger = nullptr;
    std::optional<QList<QString>> m_nextSnapshot;
};
