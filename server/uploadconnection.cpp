#include "server/uploadconnection.h"

#include "server/uploadservice.h"

#include <QDebug>
#include <QTcpSocket>

UploadConnection::UploadConnection(QTcpSocket *socket, const ServerLimits &limits,
                                   UploadService *service)
    : ServiceConnection(service->name(), socket, limits, service), m_service(service),
      m_hash(QCryptographicHash::Sha256)
{
}

bool UploadConnection::take()
{
    const QByteArray chunk = socket()->readAll();
    if (m_data.size() + chunk.size() > limits().maxUploadSize) {
        m_data = QByteArray();
        reject(
            QStringLiteral("UploadConnection::take()"),
            QStringLiteral("upload larger than %1 bytes; discarded").arg(limits().maxUploadSize));
        return false;
    }
    m_data.append(chunk);
    m_hash.addData(chunk);
    return true;
}

void UploadConnection::processInput()
{
    take();
}

void UploadConnection::peerClosed()
{
    if (!take())
        return;
    if (m_data.isEmpty()) {
        qWarning().noquote()
            << QStringLiteral("UploadConnection::peerClosed() %1: closed without sending a byte")
                   .arg(peer());
        return;
    }
    m_service->store(m_data, m_hash.result().toHex());
    m_data = QByteArray();
}
