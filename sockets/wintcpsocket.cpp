#include "sockets/wintcpsocket.h"

WinTCPSocket::WinTCPSocket(QObject *parent) : WinSocket(parent) {}

void WinTCPSocket::setEndpoints(quint32 localAddress, quint16 localPort, quint32 remoteAddress,
                                quint16 remotePort)
{
    m_localAddress = localAddress;
    m_localPort = localPort;
    m_remoteAddress = remoteAddress;
    m_remotePort = remotePort;
}
