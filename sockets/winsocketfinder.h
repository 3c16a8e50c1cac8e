#pragma once

#include "platform/netsockettable.h"
#include "platform/socketowners.h"

#include <QList>
#include <QString>
#include <QThread>

// Takes one snapshot per run of the machine's IPv4 TCP and UDP endpoints, as
// socket packed records of seven fields joined by "|": owning process id,
// "TCP" or "UDP", remote host, remote port, local host, local port and TCP
// state (1 to 12, the numbering of NetSocketTable::tableState()). A UDP record
// has empty remote fields and an empty state. The owner is 0 when no process
// this user may inspect holds the socket.
//
// Finding a socket's owner means reading every process's descriptors: that is
// done once per socket, the first time it is seen (SocketOwners).
class WinSocketFinder : public QThread
{
    Q_OBJECT

public:
    explicit WinSocketFinder(QObject *parent = nullptr);
    ~WinSocketFinder() override;

    void socketSnapshot();
    QList<QString> getTcpSockets();
    QList<QString> getUdpSockets();

    // Passes over the processes' descriptors made so far.
    int ownerSweeps() const { return m_owners.sweeps(); }

    // The records of one table's endpoints, with their owners.
    static QList<QString> tcpRecords(const QList<NetSocket> &sockets, const SocketOwners &owners);
    static QList<QString> udpRecords(const QList<NetSocket> &sockets, const SocketOwners &owners);

Q_SIGNALS:
    void currentSockets(QList<QString>);

protected:
    void run() override;

private:
    // The finder thread's own.
    SocketOwners m_owners;
};
