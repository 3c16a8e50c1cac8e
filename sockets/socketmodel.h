#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QString>

// The endpoints the socket monitor has seen, one row per socket packed record
// (WinSocketFinder) in the order they came. Rows are never taken away: a
// connection that changes state adds a row for the new state.
//
// Display role: the fields as text, the state by name. Qt::UserRole: what
// sorting and the process filter use (ports, state and process id as numbers).
class SocketModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        ProtocolColumn,
        LocalHostColumn,
        LocalPortColumn,
        RemoteHostColumn,
        RemotePortColumn,
        StateColumn,
        PidColumn,
        FirstSeenColumn,
        ColumnCount
    };

    explicit SocketModel(QObject *parent = nullptr);

    QList<QString> sockets() const { return m_sockets; }

    // The name of a TCP state number (1 to 12); empty for any other.
    static QString stateName(int state);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;

public Q_SLOTS:
    void addSockets(QList<QString> p_sockets);
    // Endpoints that a snapshot no longer holds keep their rows.
    void removeSockets(QList<QString> p_sockets);

private:
    QList<QString> m_sockets;
};
