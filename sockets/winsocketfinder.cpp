#include "sockets/winsocketfinder.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSet>

namespace {
QSet<quint64> inodesOf(const QList<NetSocket> &sockets)
{
    QSet<quint64> inodes;
    inodes.reserve(sockets.size());
    for (const NetSocket &socket : sockets)
        inodes.insert(socket.inode);
    return inodes;
}
} // namespace

WinSocketFinder::WinSocketFinder(QObject *parent) : QThread(parent)
{
    qRegisterMetaType<QList<QString>>("QList<QString>");
}

WinSocketFinder::~WinSocketFinder()
{
    wait();
}

QList<QString> WinSocketFinder::tcpRecords(const QList<NetSocket> &sockets,
                                           const SocketOwners &owners)
{
    QList<QString> records;
    records.reserve(sockets.size());
    for (const NetSocket &socket : sockets)
        records.append(QStringLiteral("%1|TCP|%2|%3|%4|%5|%6")
                           .arg(owners.owner(socket.inode))
                           .arg(NetSocketTable::addressText(socket.remoteAddress))
                           .arg(socket.remotePort)
                           .arg(NetSocketTable::addressText(socket.localAddress))
                           .arg(socket.localPort)
                           .arg(NetSocketTable::tableState(socket.state)));
    return records;
}

QList<QString> WinSocketFinder::udpRecords(const QList<NetSocket> &sockets,
                                           const SocketOwners &owners)
{
    QList<QString> records;
    records.reserve(sockets.size());
    for (const NetSocket &socket : sockets)
        records.append(QStringLiteral("%1|UDP|||%2|%3|")
                           .arg(owners.owner(socket.inode))
                           .arg(NetSocketTable::addressText(socket.localAddress))
                           .arg(socket.localPort));
    return records;
}

QList<QString> WinSocketFinder::getTcpSockets()
{
    QList<NetSocket> sockets;
    if (!NetSocketTable::readTcp(&sockets))
        return QList<QString>();
    m_owners.update(inodesOf(sockets), false);
    return tcpRecords(sockets, m_owners);
}

QList<QString> WinSocketFinder::getUdpSockets()
{
    QList<NetSocket> sockets;
    if (!NetSocketTable::readUdp(&sockets))
        return QList<QString>();
    m_owners.update(inodesOf(sockets), false);
    return udpRecords(sockets, m_owners);
}

void WinSocketFinder::socketSnapshot()
{
    QElapsedTimer timer;
    timer.start();
    // Both tables first, so that one pass over the descriptors finds the
    // owners of every new socket of either.
    QList<NetSocket> tcp, udp;
    NetSocketTable::readTcp(&tcp);
    NetSocketTable::readUdp(&udp);
    m_owners.update(inodesOf(tcp) + inodesOf(udp));
    QList<QString> records = tcpRecords(tcp, m_owners);
    records += udpRecords(udp, m_owners);
    qDebug().noquote() << QStringLiteral(
                              "WinSocketFinder::socketSnapshot() getting sockets took %1 ms")
                              .arg(timer.elapsed());
    Q_EMIT currentSockets(records);
}

void WinSocketFinder::run()
{
    socketSnapshot();
}
