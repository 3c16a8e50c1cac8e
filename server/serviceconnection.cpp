#include "server/serviceconnection.h"

#include "platform/clock.h"
#include "server/connectionsocket.h"

#include <QDebug>
#include <QTimer>

#include <limits>

namespace {
// Enough for a few thousand digest lines at a time; beyond it the bytes stay
// in the kernel and TCP slows the client down.
constexpr qint64 readBufferFloor = 64 * 1024;

int clampedMs(qint64 ms)
{
    return static_cast<int>(qBound(qint64(0), ms, qint64(std::numeric_limits<int>::max())));
}
} // namespace

ServiceConnection::ServiceConnection(const QString &serviceName, ConnectionSocket *socket,
                                     const ServerLimits &limits, QObject *parent)
    : QObject(parent), m_socket(socket), m_limits(limits), m_idleTimer(new QTimer(this)),
      m_requestTimer(new QTimer(this))
{
    m_socket->setParent(this);
    const QHostAddress address = m_socket->peerAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    m_peer = QStringLiteral("%1 %2:%3").arg(serviceName, host).arg(m_socket->peerPort());
    m_socket->setReadBufferSize(readBufferSize(m_limits));

    connect(m_socket, &ConnectionSocket::readyRead, this, &ServiceConnection::handleReadyRead);
    connect(m_socket, &ConnectionSocket::bytesWritten, this,
            &ServiceConnection::handleBytesWritten);
    connect(m_socket, &ConnectionSocket::inputFinished, this,
            &ServiceConnection::handleInputFinished);
    connect(m_socket, &ConnectionSocket::closed, this, &ServiceConnection::handleClosed);

    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(Clock::wait(m_limits.idleTimeoutMs));
    connect(m_idleTimer, &QTimer::timeout, this, &ServiceConnection::handleIdleTimeout);
    m_idleTimer->start();
    m_requestTimer->setSingleShot(true);
    connect(m_requestTimer, &QTimer::timeout, this, &ServiceConnection::handleRequestTimer);
    m_sinceProgress.start();

    // A descriptor that could not be set up is closed already.
    if (!m_socket->isOpen())
        QTimer::singleShot(0, this, &ServiceConnection::handleClosed);
}

ServiceConnection::~ServiceConnection()
{
    // The socket goes with this object; its last signals must not reach a half
    // destroyed connection.
    m_socket->disconnect(this);
}

qint64 ServiceConnection::readBufferSize(const ServerLimits &limits)
{
    return qMax<qint64>(readBufferFloor, limits.maxLineLength + 2);
}

qint64 ServiceConnection::heldBytes() const
{
    return m_socket->heldBytes() + protocolHeldBytes();
}

qint64 ServiceConnection::bytesReceived() const
{
    return m_socket->bytesReceived();
}

qint64 ServiceConnection::bytesToWrite() const
{
    return m_socket->bytesToWrite();
}

bool ServiceConnection::isSendingAnswer() const
{
    return m_socket->bytesToWrite() > 0;
}

qint64 ServiceConnection::bytesMoved() const
{
    return m_socket->bytesReceived() + m_socket->bytesSent();
}

qint64 ServiceConnection::bytesSinceProgress() const
{
    return bytesMoved() - m_progressBytes;
}

bool ServiceConnection::inputEnded() const
{
    return m_socket->input() == ConnectionSocket::Input::Finished;
}

void ServiceConnection::displace(const QString &why)
{
    if (m_done)
        return;
    qWarning().noquote()
        << QStringLiteral("ServiceConnection::displace() %1: %2; closing").arg(m_peer, why);
    m_closing = true;
    m_requestTimer->stop();
    m_socket->abort();
}

void ServiceConnection::startRequest()
{
    m_requestRunning = true;
    m_requestClock.start();
    m_requestStartBytes = bytesMoved();
    m_requestTimer->start(Clock::wait(m_limits.requestTimeoutMs));
}

void ServiceConnection::requestCompleted()
{
    m_requestRunning = false;
    m_requestTimer->stop();
    m_sinceProgress.start();
    m_progressBytes = bytesMoved();
    // A request sent right behind this one has begun already.
    if (!m_closing && !m_socket->buffered().isEmpty())
        startRequest();
}

void ServiceConnection::handleRequestTimer()
{
    if (m_closing || !m_requestRunning)
        return;
    const qint64 moved = bytesMoved() - m_requestStartBytes;
    const qint64 allowance = moved * 1000 / qMax(1, m_limits.minRequestRate);
    const qint64 allowed =
        qint64(Clock::wait(m_limits.requestTimeoutMs)) + Clock::wait(clampedMs(allowance));
    const qint64 elapsed = m_requestClock.elapsed();
    if (elapsed < allowed) {
        m_requestTimer->start(clampedMs(allowed - elapsed));
        return;
    }
    qWarning().noquote() << QStringLiteral("ServiceConnection::handleRequestTimer() %1: request "
                                           "not complete %2 ms after its first byte (%3 bytes "
                                           "moved); closing")
                                .arg(m_peer)
                                .arg(elapsed)
                                .arg(moved);
    m_closing = true;
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
    m_requestTimer->stop();
    m_socket->finish();
}

void ServiceConnection::notePeak()
{
    m_peakHeldBytes = qMax(m_peakHeldBytes, heldBytes());
}

void ServiceConnection::process()
{
    notePeak();
    if (!m_closing)
        processInput();
    notePeak();
}

void ServiceConnection::handleReadyRead()
{
    if (m_done || m_closing)
        return;
    m_idleTimer->start();
    if (!m_requestRunning)
        startRequest();
    process();
}

void ServiceConnection::handleBytesWritten()
{
    if (m_done)
        return;
    m_idleTimer->start();
    process();
}

void ServiceConnection::handleInputFinished()
{
    if (m_done)
        return;
    process();
}

void ServiceConnection::handleClosed()
{
    if (m_done)
        return;
    m_done = true;
    m_idleTimer->stop();
    m_requestTimer->stop();
    if (!m_closing) {
        m_closing = true;
        connectionReset();
    }
    emit finished();
}

void ServiceConnection::handleIdleTimeout()
{
    if (m_done)
        return;
    // A connection that has said all it had to say is only waiting for the
    // peer's close; it goes without a word.
    if (!m_closing || m_socket->bytesToWrite() > 0) {
        qWarning().noquote() << QStringLiteral("ServiceConnection::handleIdleTimeout() %1: "
                                               "nothing sent or read for %2 ms; closing")
                                    .arg(m_peer)
                                    .arg(m_idleTimer->interval());
    }
    m_closing = true;
    m_socket->abort();
}
