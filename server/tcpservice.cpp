#include "server/tcpservice.h"

#include "server/serviceconnection.h"

#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>

TcpService::TcpService(const QString &name, const ServerLimits &limits, QObject *parent)
    : QObject(parent), m_name(name), m_limits(limits), m_server(new QTcpServer(this))
{
    // Clients that connect in a burst wait in the kernel rather than being refused.
    m_server->setListenBacklogSize(qMax(50, m_limits.maxConnections));
    connect(m_server, &QTcpServer::newConnection, this, &TcpService::handleNewConnection);
}

bool TcpService::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (m_server->listen(address, port))
        return true;
    if (error) {
        *error = QStringLiteral("%1 cannot listen on %2:%3: %4")
                     .arg(m_name, address.toString())
                     .arg(port)
                     .arg(m_server->errorString());
    }
    return false;
}

quint16 TcpService::serverPort() const
{
    return m_server->serverPort();
}

QHostAddress TcpService::serverAddress() const
{
    return m_server->serverAddress();
}

QString TcpService::listeningLine() const
{
    const QHostAddress address = m_server->serverAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1 listening on %2:%3").arg(m_name, host).arg(m_server->serverPort());
}

void TcpService::handleNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_connectionCount >= m_limits.maxConnections) {
            qWarning().noquote() << QStringLiteral(
                                        "TcpService::handleNewConnection() %1 %2:%3: already %4 "
                                        "connections; closing")
                                        .arg(m_name, socket->peerAddress().toString())
                                        .arg(socket->peerPort())
                                        .arg(m_connectionCount);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ServiceConnection *connection = createConnection(socket);
        connection->setParent(this);
        ++m_connectionCount;
        connect(connection, &ServiceConnection::finished, this, [this, connection] {
            connection->deleteLater();
            --m_connectionCount;
            emit connectionCountChanged(m_connectionCount);
        });
        emit connectionCountChanged(m_connectionCount);
    }
}
