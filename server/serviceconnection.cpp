#include "server/serviceconnection.h"

#include "platform/clock.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

namespace {
// Enough for a few thousand digest lines at a time; beyond it Qt leaves the
// bytes in the kernel and TCP slows the client down.
constexpr qint64 readBufferFloor = 64 * 1024;
} // namespace

ServiceConnection::ServiceConnection(const QString &serviceName, QTcpSocket *socket,
                                     const ServerLimits &limits, QObject *parent)
    : QObject(parent), m_socket(socket), m_limits(limits), m_idleTimer(new QTimer(this))
{
    m_socket->setParent(this);
    const QHostAddress address = m_socket->peerAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    m_peer = QStringLiteral("%1 %2:%3").arg(serviceName, host).arg(m_socket->peerPort());
    m_socket->setReadBufferSize(qMax<qint64>(readBufferFloor, m_limits.maxLineLength + 2));

    connect(m_socket, &QTcpSocket::readyRead, this, &ServiceConnection::handleReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &ServiceConnection::handleBytesWritten);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &ServiceConnection::handleErrorOccurred);
    connect(m_socket, &QTcpSocket::disconnected, this, &ServiceConnection::handleDisconnected);

    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(Clock::wait(m_limits.idleTimeoutMs));
    connect(m_idleTimer, &QTimer::timeout, this, &ServiceConnection::handleIdleTimeout);
    m_idleTimer->start();

    // Bytes may have come with the connection, before readyRead was connected.
    if (m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &ServiceConnection::handleReadyRead);
}

ServiceConnection::~ServiceConnection()
{
    // The socket goes with this object; its last signals must not reach a half
    // destroyed connection.
    m_socket->disconnect(this);
    m_socket->abort();
}

void ServiceConnection::reject(const QString &where, const QString &problem)
{
    if (m_closing)
        return;
    qWarning().noquote() << QStringLiteral("%1 %2: %3; closing").arg(where, m_peer, problem);
    finish();
}

void ServiceConnection::finish()
{
    if (m_closing)
        return;
    m_closing = true;
    if (m_done)
        return;
    m_socket->readAll();
    // Emits disconnected() at once when nothing waits to be written; the idle
    // timer still guards a peer that never reads what is queued.
    m_socket->disconnectFromHost();
}

void ServiceConnection::handleReadyRead()
{
    if (m_done)
        return;
    m_idleTimer->start();
    if (m_closing) {
        m_socket->readAll();
        return;
    }
    processInput();
}

void ServiceConnection::handleBytesWritten()
{
    if (m_done)
        return;
    m_idleTimer->start();
    if (!m_closing)
        processInput();
}

void ServiceConnection::handleErrorOccurred(QAbstractSocket::SocketError error)
{
    // The peer closing is the normal end of every exchange; other errors are not.
    if (error == QAbstractSocket::RemoteHostClosedError || m_closing)
        return;
    qWarning().noquote() << QStringLiteral("ServiceConnection::handleErrorOccurred() %1: %2")
                                .arg(m_peer, m_socket->errorString());
}

void ServiceConnection::handleDisconnected()
{
    if (m_done)
        return;
    m_done = true;
    m_idleTimer->stop();
    if (!m_closing) {
        peerClosed();
        m_closing = true;
    }
    emit finished();
}

void ServiceConnection::handleIdleTimeout()
{
    if (m_done)
        return;
    qWarning().noquote() << QStringLiteral("ServiceConnection::handleIdleTimeout() %1: nothing "
                                           "sent or read for %2 ms; closing")
                                .arg(m_peer)
                                .arg(m_idleTimer->interval());
    m_closing = true;
    m_socket->abort();
}
