#include "sockets/sockettableview.h"

#include "platform/netsockettable.h"
#include "platform/systemerror.h"
#include "sockets/wintcpsocket.h"

SocketTableView::SocketTableView(QWidget *parent) : QTableView(parent) {}

bool SocketTableView::closeSocket()
{
    const auto *tcp = qobject_cast<WinTCPSocket *>(m_socket.data());
    if (!tcp)
        return false;
    NetSocket connection;
    connection.localAddress = tcp->localAddress();
    connection.localPort = tcp->localPort();
    connection.remoteAddress = tcp->remoteAddress();
    connection.remotePort = tcp->remotePort();
    const int error = NetSocketTable::closeTcpConnection(connection);
    if (error == 0)
        return true;
    logSystemError(QStringLiteral("SetTcpEntry()"), error);
    return false;
}
