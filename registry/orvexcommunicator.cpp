#include "registry/orvexcommunicator.h"

#include "platform/clock.h"
#include "platform/platforminfo.h"
#include "platform/serveraddress.h"
#include "registry/uniqueid.h"

#include <QAbstractEventDispatcher>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDebug>
#include <QPointer>
#include <QSignalBlocker>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <limits>

namespace {
QByteArray md5Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}
} // namespace

OrvexCommunicator::OrvexCommunicator(QObject *parent) : QObject(parent)
{
    const ServerAddress address = ServerAddress::registry();
    m_host = address.host;
    m_port = address.port;
}

void OrvexCommunicator::setSocket(QTcpSocket *socket)
{
    if (m_socket) {
        if (disconnect(m_socket, nullptr, this, nullptr))
            qWarning() << "OrvexCommunicator::setSocket() old socket disconnected OK";
        else
            qWarning() << "OrvexCommunicator::setSocket() failed to disconnect the socket that is "
                          "being replaced";
    }
    m_socket = socket;
    if (!m_socket)
        return;
    connect(m_socket, &QAbstractSocket::connected, this, &OrvexCommunicator::socketConnected,
            Qt::DirectConnection);
    connect(m_socket, &QAbstractSocket::disconnected, this, &OrvexCommunicator::socketDisconnected,
            Qt::DirectConnection);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &OrvexCommunicator::displaySocketError,
            Qt::DirectConnection);
}

void OrvexCommunicator::setStopCheck(std::function<bool()> stopRequested)
{
    m_stopRequested = std::move(stopRequested);
}

bool OrvexCommunicator::connectToOrvex()
{
    qDebug() << "OrvexCommunicator::connectToOrvex() called";
    m_failure.clear();
    if (!m_socket) {
        m_failure = tr("no connection to use");
        return false;
    }
    m_socket->abort();
    m_socket->connectToHost(m_host, m_port, QIODevice::ReadWrite);
    return waitForConnection();
}

bool OrvexCommunicator::waitForConnection()
{
    // A blocking wait for the connection would hold the thread for the whole
    // time-out, and one for a host name blocks in its look-up. Instead the
    // socket's own notifications (look-up result, connect result) are served
    // here, woken at least every StopCheckMs to look at the stop. The socket
    // reports its errors as always; the handler may replace it meanwhile.
    const QPointer<QTcpSocket> socket = m_socket;
    const QDeadlineTimer deadline(Clock::wait(connectTimeout), Qt::PreciseTimer);
    QAbstractEventDispatcher *dispatcher = QThread::currentThread()->eventDispatcher();
    QTimer wakeUp;
    if (dispatcher)
        wakeUp.start(Clock::StopCheckMs);
    const auto connecting = [&socket] {
        return socket && (socket->state() == QAbstractSocket::HostLookupState ||
                          socket->state() == QAbstractSocket::ConnectingState);
    };
    while (connecting()) {
        if (isStopRequested()) {
            dropConnection(socket);
            return false;
        }
        if (deadline.hasExpired()) {
            // Like the designed blocking wait's time-out: no error signal.
            m_failure = tr("timed out");
            dropConnection(socket);
            return false;
        }
        if (dispatcher)
            dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
        else
            QThread::msleep(Clock::StopCheckMs);
    }
    if (socket && socket == m_socket && socket->state() == QAbstractSocket::ConnectedState)
        return true;
    if (m_failure.isEmpty() && socket)
        m_failure = errorText(socket->error(), socket->errorString());
    return false;
}

bool OrvexCommunicator::waitForBytes(int timeoutMs)
{
    // Waited in slices so that a stop is seen; blocked, so that a slice's end
    // is not reported as a time-out of the socket.
    const QSignalBlocker blocker(m_socket);
    const QDeadlineTimer deadline(qMax(0, timeoutMs), Qt::PreciseTimer);
    forever
    {
        if (m_socket->bytesAvailable() > 0)
            return true;
        if (m_socket->state() != QAbstractSocket::ConnectedState || isStopRequested())
            return false;
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return false;
        m_socket->waitForReadyRead(int(qMin<qint64>(left, Clock::StopCheckMs)));
    }
}

void OrvexCommunicator::dropConnection(QTcpSocket *socket)
{
    // The rest of an answer must never be read as the start of the next one.
    const QSignalBlocker blocker(socket);
    socket->abort();
}

bool OrvexCommunicator::queryOrvex()
{
    m_failure.clear();
    if (!m_socket || !m_socket->isOpen()) {
        qWarning() << "OrvexCommunicator::queryOrvex() socket was null or not open!";
        m_failure = tr("no connection to use");
        return false;
    }
    qDebug().noquote() << QStringLiteral(
                              "OrvexCommunicator::queryOrvex() sending %1 bytes to Orvex...")
                              .arg(m_request.size());
    const qint64 written = m_socket->write(m_request);
    if (written == -1) {
        qWarning() << "OrvexCommunicator::queryOrvex() writing to the socket failed!";
        m_failure = tr("the request could not be sent");
        return false;
    }
    m_answerClock.start();
    qDebug().noquote()
        << QStringLiteral("OrvexCommunicator::queryOrvex() sent %1 bytes to Orvex.").arg(written);
    if (written != m_request.size())
        qWarning().noquote() << QStringLiteral(
                                    "OrvexCommunicator::queryOrvex() the request size is "
                                    "%1 bytes but we wrote %2 bytes!")
                                    .arg(m_request.size())
                                    .arg(written);
    if (!waitForBytes(Clock::wait(m_queryTimeout))) {
        if (isStopRequested()) {
            dropConnection(m_socket);
            return false;
        }
        qWarning() << "OrvexCommunicator::queryOrvex() timed out waiting for data from the Orvex!";
        if (m_socket->state() == QAbstractSocket::ConnectedState) {
            m_failure = tr("timed out waiting for the answer");
            // A late answer must not be taken for the answer to the next request.
            dropConnection(m_socket);
        } else {
            m_failure = errorText(m_socket->error(), m_socket->errorString());
            // The blocked wait kept the error from the socket's signal.
            displaySocketError(m_socket->error());
        }
        return false;
    }
    readServer();
    return m_answerAccepted;
}

void OrvexCommunicator::readServer()
{
    qDebug() << "OrvexCommunicator::readServer() called";
    m_answerAccepted = false;
    if (!m_socket)
        return;
    if (!m_answerClock.isValid())
        m_answerClock.start();

    // The answer has no length and no end marker. It is complete only when the
    // server falls silent for the read timeout or closes the connection: the size
    // of a piece says nothing, since a large answer arrives in many pieces and
    // ending early would cut a record in two.
    // Reads what is there, but never more than one byte past the cap.
    const auto readAvailable = [this](qint64 room) {
        return m_socket->read(qMin(m_socket->bytesAvailable(), room));
    };
    QByteArray buffer = readAvailable(maxAnswerSize + 1);
    while (buffer.size() <= maxAnswerSize) {
        // Bytes that keep coming after the deadline are a trickle, not an answer.
        if (m_answerClock.elapsed() > Clock::wait(answerTimeAllowed(buffer.size()))) {
            qWarning().noquote()
                << QStringLiteral("OrvexCommunicator::readServer() the answer is still "
                                  "arriving after %1 ms (%2 bytes); dropping it and the connection")
                       .arg(m_answerClock.elapsed())
                       .arg(buffer.size());
            m_failure = tr("the answer took too long");
            dropConnection(m_socket);
            return;
        }
        waitForBytes(Clock::wait(m_readTimeout));
        if (isStopRequested()) {
            dropConnection(m_socket);
            return;
        }
        const QByteArray chunk = readAvailable(maxAnswerSize + 1 - buffer.size());
        if (chunk.isEmpty())
            break;
        buffer.append(chunk);
    }

    if (buffer.size() > maxAnswerSize) {
        qWarning().noquote() << QStringLiteral("OrvexCommunicator::readServer() the answer exceeds "
                                               "%1 bytes; dropping it and the connection")
                                    .arg(maxAnswerSize);
        m_failure = tr("the answer was too large");
        dropConnection(m_socket);
        return;
    }

    qDebug().noquote() << QStringLiteral(
                              "OrvexCommunicator::readServer() got %1 bytes from the server")
                              .arg(buffer.size());
    m_answerAccepted = true;
    emit payload(buffer);
}

void OrvexCommunicator::displaySocketError(QAbstractSocket::SocketError error)
{
    const QString errorString = m_socket ? m_socket->errorString() : QString();
    qWarning().noquote() << QStringLiteral("OrvexCommunicator::displaySocketError() #%1: %2")
                                .arg(static_cast<int>(error))
                                .arg(errorString);
    QString message;
    switch (error) {
    case QAbstractSocket::HostNotFoundError:
        message = tr("Could not connect to the malware database.");
        break;
    case QAbstractSocket::SocketTimeoutError:
        break;
    default:
        message = tr("Unknown network error encountered.");
        break;
    }
    if (message.isEmpty())
        return;
    // Where and why, after the words the user knows.
    emit communicationError(
        tr("%1 %2: %3.").arg(message, address(), errorText(error, errorString)));
}

QString OrvexCommunicator::errorText(QAbstractSocket::SocketError error, const QString &errorString)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return tr("connection refused");
    case QAbstractSocket::HostNotFoundError:
        return tr("host not found");
    case QAbstractSocket::SocketTimeoutError:
        return tr("timed out");
    case QAbstractSocket::RemoteHostClosedError:
        return tr("connection closed by the server");
    default:
        break;
    }
    if (!errorString.isEmpty())
        return errorString;
    return tr("network error %1").arg(static_cast<int>(error));
}

int OrvexCommunicator::answerTimeAllowed(qint64 bytes)
{
    const qint64 allowed = answerDeadline + qMax<qint64>(0, bytes) * 1000 / answerRate;
    return int(qMin<qint64>(allowed, std::numeric_limits<int>::max()));
}

void OrvexCommunicator::socketConnected()
{
    qDebug().noquote()
        << QStringLiteral("OrvexCommunicator Socket Connected To %1:%2.").arg(m_host).arg(m_port);
    emit communicationEstablished();
}

void OrvexCommunicator::socketDisconnected()
{
    qDebug().noquote() << QStringLiteral("OrvexCommunicator Socket Disconnected From %1:%2.")
                              .arg(m_host)
                              .arg(m_port);
}

void OrvexCommunicator::setRequest(const QByteArray &request)
{
    m_request = request;
}

QByteArray OrvexCommunicator::request() const
{
    return m_request;
}

bool OrvexCommunicator::isConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

QString OrvexCommunicator::host() const
{
    return m_host;
}

quint16 OrvexCommunicator::port() const
{
    return m_port;
}

QString OrvexCommunicator::address() const
{
    const QString host =
        m_host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(m_host) : m_host;
    return QStringLiteral("%1:%2").arg(host).arg(m_port);
}

QByteArray OrvexCommunicator::clientToken()
{
    return QByteArrayLiteral("4c9e1d7a02b85f36e1a7c04d9b28f5e3");
}

QByteArray OrvexCommunicator::installationDigest()
{
    return md5Hex(UniqueId::ensureInstallationUuid().toString().toLatin1());
}

QByteArray OrvexCommunicator::platformDigest()
{
    return md5Hex(QByteArray::number(PlatformInfo::instance().versionCode()));
}
