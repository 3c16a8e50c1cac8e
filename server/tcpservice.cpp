#include "server/tcpservice.h"

#include "platform/clock.h"
#include "server/connectionsocket.h"
#include "server/serviceconnection.h"
#include "server/tcplistener.h"

#include <QDebug>

TcpService::TcpService(const QString &name, const ServerLimits &limits, QObject *parent)
    : QObject(parent), m_name(name), m_limits(limits), m_listener(new TcpListener(this))
{
    // Clients that connect in a burst wait in the kernel rather than being refused.
    m_listener->setListenBacklogSize(qMax(50, m_limits.maxConnections));
    connect(m_listener, &TcpListener::accepted, this, &TcpService::handleAccepted);
}

bool TcpService::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (m_listener->listen(address, port))
        return true;
    if (error) {
        *error = QStringLiteral("%1 cannot listen on %2:%3: %4")
                     .arg(m_name, address.toString())
                     .arg(port)
                     .arg(m_listener->errorString());
    }
    return false;
}

quint16 TcpService::serverPort() const
{
    return m_listener->serverPort();
}

QHostAddress TcpService::serverAddress() const
{
    return m_listener->serverAddress();
}

QString TcpService::listeningLine() const
{
    const QHostAddress address = m_listener->serverAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1 listening on %2:%3").arg(m_name, host).arg(m_listener->serverPort());
}

qint64 TcpService::heldBytes() const
{
    qint64 held = 0;
    for (const ServiceConnection *connection : m_connections)
        held += connection->heldBytes();
    return held;
}

qint64 TcpService::bytesToWrite() const
{
    qint64 queued = 0;
    for (const ServiceConnection *connection : m_connections)
        queued += connection->bytesToWrite();
    return queued;
}

qint64 TcpService::peakHeldBytes() const
{
    qint64 peak = m_peakHeldBytes;
    for (const ServiceConnection *connection : m_connections)
        peak = qMax(peak, connection->peakHeldBytes());
    return peak;
}

qint64 TcpService::bytesReceived() const
{
    qint64 received = m_bytesReceived;
    for (const ServiceConnection *connection : m_connections)
        received += connection->bytesReceived();
    return received;
}

ServiceConnection *TcpService::displaceable() const
{
    // The slowest by bytes moved per second since its last completed request;
    // a connection sending an answer, or still within the grace period, stays.
    const qint64 grace = Clock::wait(m_limits.displaceAfterMs);
    ServiceConnection *slowest = nullptr;
    double slowestRate = 0;
    for (ServiceConnection *connection : m_connections) {
        const qint64 age = connection->msSinceProgress();
        if (connection->isSendingAnswer() || age < grace)
            continue;
        const double rate = double(connection->bytesSinceProgress()) * 1000 / qMax<qint64>(1, age);
        if (!slowest || rate < slowestRate) {
            slowest = connection;
            slowestRate = rate;
        }
    }
    return slowest;
}

void TcpService::forget(ServiceConnection *connection)
{
    if (!m_connections.removeOne(connection))
        return;
    m_peakHeldBytes = qMax(m_peakHeldBytes, connection->peakHeldBytes());
    m_bytesReceived += connection->bytesReceived();
    emit connectionCountChanged(connectionCount());
}

void TcpService::handleAccepted(qintptr descriptor)
{
    auto *socket = new ConnectionSocket(descriptor, this);
    if (connectionCount() >= m_limits.maxConnections) {
        const QString newcomer = QStringLiteral("%1 %2:%3")
                                     .arg(m_name, socket->peerAddress().toString())
                                     .arg(socket->peerPort());
        ServiceConnection *victim = displaceable();
        if (!victim) {
            qWarning().noquote() << QStringLiteral("TcpService::handleAccepted() %1: already %2 "
                                                   "connections; closing")
                                        .arg(newcomer)
                                        .arg(connectionCount());
            socket->abort();
            socket->deleteLater();
            return;
        }
        victim->displace(QStringLiteral("all %1 places taken and %2 bytes moved in %3 ms "
                                        "without a complete request; %4 takes its place")
                             .arg(m_limits.maxConnections)
                             .arg(victim->bytesSinceProgress())
                             .arg(victim->msSinceProgress())
                             .arg(newcomer));
        forget(victim);
    }
    ServiceConnection *connection = createConnection(socket);
    connection->setParent(this);
    m_connections.append(connection);
    connect(connection, &ServiceConnection::finished, this, [this, connection] {
        forget(connection);
        connection->deleteLater();
    });
    emit connectionCountChanged(connectionCount());
}
