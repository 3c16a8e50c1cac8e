#include "registry/orvexcommunicator.h"

#include "platform/clock.h"
#include "platform/platforminfo.h"
#include "platform/serveraddress.h"
#include "registry/uniqueid.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QTcpSocket>

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

bool OrvexCommunicator::connectToOrvex()
{
    qDebug() << "OrvexCommunicator::connectToOrvex() called";
    if (!m_socket)
        return false;
    m_socket->abort();
    m_socket->connectToHost(m_host, m_port, QIODevice::ReadWrite);
    return m_socket->waitForConnected(Clock::wait(connectTimeout));
}

bool OrvexCommunicator::queryOrvex()
{
    if (!m_socket || !m_socket->isOpen()) {
        qWarning() << "OrvexCommunicator::queryOrvex() socket was null or not open!";
        return false;
    }
    qDebug().noquote() << QStringLiteral(
                              "OrvexCommunicator::queryOrvex() sending %1 bytes to Orvex...")
                              .arg(m_request.size());
    const qint64 written = m_socket->write(m_request);
    if (written == -1) {
        qWarning() << "OrvexCommunicator::queryOrvex() writing to the socket failed!";
        return false;
    }
    qDebug().noquote()
        << QStringLiteral("OrvexCommunicator::queryOrvex() sent %1 bytes to Orvex.").arg(written);
    if (written != m_request.size())
        qWarning().noquote() << QStringLiteral(
                                    "OrvexCommunicator::queryOrvex() the request size is "
                                    "%1 bytes but we wrote %2 bytes!")
                                    .arg(m_request.size())
                                    .arg(written);
    if (!m_socket->waitForReadyRead(Clock::wait(m_queryTimeout))) {
        qWarning() << "OrvexCommunicator::queryOrvex() timed out waiting for data from the Orvex!";
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
        const bool wasBlocked = m_socket->blockSignals(true);
        if (m_socket->bytesAvailable() == 0)
            m_socket->waitForReadyRead(Clock::wait(m_readTimeout));
        m_socket->blockSignals(wasBlocked);
        const QByteArray chunk = readAvailable(maxAnswerSize + 1 - buffer.size());
        if (chunk.isEmpty())
            break;
        buffer.append(chunk);
    }

    if (buffer.size() > maxAnswerSize) {
        qWarning().noquote() << QStringLiteral("OrvexCommunicator::readServer() the answer exceeds "
                                               "%1 bytes; dropping it and the connection")
                                    .arg(maxAnswerSize);
        // The rest of the answer must not be read as the start of the next one.
        const bool wasBlocked = m_socket->blockSignals(true);
        m_socket->abort();
        m_socket->blockSignals(wasBlocked);
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
    qWarning().noquote() << QStringLiteral("OrvexCommunicator::displaySocketError() #%1: %2")
                                .arg(static_cast<int>(error))
                                .arg(m_socket ? m_socket->errorString() : QString());
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
    if (!message.isEmpty())
        emit communicationError(message);
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
