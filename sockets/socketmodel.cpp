#include "sockets/socketmodel.h"

#include <QDebug>

namespace {
constexpr int FieldCount = 7;
enum Field {
    PidField,
    ProtocolField,
    RemoteHostField,
    RemotePortField,
    LocalHostField,
    LocalPortField,
    StateField
};
} // namespace

SocketModel::SocketModel(QObject *parent) : QAbstractTableModel(parent) {}

QString SocketModel::stateName(int state)
{
    switch (state) {
    case 1:
        return QStringLiteral("Closed");
    case 2:
        return QStringLiteral("Listening");
    case 3:
        return QStringLiteral("SYN Sent");
    case 4:
        return QStringLiteral("SYN Received");
    case 5:
        return QStringLiteral("Established");
    case 6:
        return QStringLiteral("Waiting for FIN 1");
    case 7:
        return QStringLiteral("Waiting for FIN 2");
    case 8:
        return QStringLiteral("Waiting for close");
    case 9:
        return QStringLiteral("Closing");
    case 10:
        return QStringLiteral("Last ACK");
    case 11:
        return QStringLiteral("Waiting for timeout");
    case 12:
        return QStringLiteral("Deleting");
    default:
        return QString();
    }
}

int SocketModel::rowCount(const QModelIndex &) const
{
    return int(m_sockets.size());
}

int SocketModel::columnCount(const QModelIndex &) const
{
    return ColumnCount;
}

QVariant SocketModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Vertical)
        return QStringLiteral("%1").arg(section + 1);
    switch (section) {
    case ProtocolColumn:
        return tr("Protocol");
    case LocalHostColumn:
        return tr("Local Host");
    case LocalPortColumn:
        return tr("Local Port");
    case RemoteHostColumn:
        return tr("Remote Host");
    case RemotePortColumn:
        return tr("Remote Port");
    case StateColumn:
        return tr("State");
    case PidColumn:
        return tr("PID");
    case FirstSeenColumn:
        return tr("First Seen");
    default:
        return QVariant();
    }
}

QVariant SocketModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    if (role != Qt::DisplayRole && role != Qt::UserRole)
        return QVariant();
    const QString record = m_sockets.value(index.row());
    if (record.isEmpty()) {
        qWarning().noquote()
            << QStringLiteral("SocketModel::data() got a bad socket for row %1").arg(index.row());
        return QVariant();
    }
    const QStringList fields = record.split(u'|');
    if (fields.size() != FieldCount) {
        qWarning().noquote() << QStringLiteral(
                                    "SocketModel::data() fields.count() is %1 but it should be %2.")
                                    .arg(fields.size())
                                    .arg(FieldCount);
        return QVariant();
    }
    const bool display = role == Qt::DisplayRole;
    switch (index.column()) {
    case ProtocolColumn:
        return fields.at(ProtocolField);
    case LocalHostColumn:
        return fields.at(LocalHostField);
    case LocalPortColumn:
        return display ? QVariant(fields.at(LocalPortField))
                       : QVariant(fields.at(LocalPortField).toUInt());
    case RemoteHostColumn:
        return fields.at(RemoteHostField);
    case RemotePortColumn:
        return display ? QVariant(fields.at(RemotePortField))
                       : QVariant(fields.at(RemotePortField).toUInt());
    case StateColumn:
        return display ? QVariant(stateName(fields.at(StateField).toInt()))
                       : QVariant(fields.at(StateField).toUInt());
    case PidColumn:
        return display ? QVariant(fields.at(PidField))
                       : QVariant(QString::number(fields.at(PidField).toUInt()));
    default:
        return QVariant();
    }
}

bool SocketModel::setData(const QModelIndex &, const QVariant &, int)
{
    return false;
}

Qt::ItemFlags SocketModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::ItemIsEnabled;
    return QAbstractItemModel::flags(index);
}

QModelIndex SocketModel::index(int row, int column, const QModelIndex &parent) const
{
    return QAbstractTableModel::index(row, column, parent);
}

void SocketModel::addSockets(QList<QString> p_sockets)
{
    const int n = int(p_sockets.size());
    if (n == 0)
        return;
    beginInsertRows(QModelIndex(), rowCount(), rowCount() + n - 1);
    m_sockets.append(p_sockets);
    endInsertRows();
}

void SocketModel::removeSockets(QList<QString>) {}
