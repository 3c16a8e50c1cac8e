#pragma once

#include "sockets/winsocket.h"

#include <QtGlobal>

// One TCP connection: its addresses in network byte order, its ports in host order.
class WinTCPSocket : public WinSocket
{
    Q_OBJECT

public:
    explicit WinTCPSocket(QObject *parent = nullptr);

    quint32 localAddress() const { return m_localAddress; }
    quint16 localPort() const { return m_localPort; }
    quint32 remoteAddress() const { return m_remoteAddress; }
    quint16 remotePort() const { return m_remotePort; }
    void setEndpoints(quint32 localAddress, quint16 localPort, quint32 remoteAddress,
                      quint16 remotePort);

private:
    quint32 m_localAddress = 0;
    quint16 m_localPort = 0;
    quint32 m_remoteAddress = 0;
    quint16 m_remotePort = 0;
};
