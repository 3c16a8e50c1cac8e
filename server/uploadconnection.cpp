#include "server/uploadconnection.h"

#include "server/connectionsocket.h"
#include "server/uploadservice.h"

#include <QDebug>
#include <QTemporaryFile>

UploadConnection::UploadConnection(ConnectionSocket *socket, const ServerLimits &limits,
                                   UploadService *service)
    : ServiceConnection(service->name(), socket, limits, service), m_service(service),
      m_hash(QCryptographicHash::Sha256)
{
}

UploadConnection::~UploadConnection() = default;

void UploadConnection::discard()
{
    m_file.reset(); // removes the temporary file
    m_size = 0;
}

void UploadConnection::processInput()
{
    const QString where = QStringLiteral("UploadConnection::processInput()");
    const QByteArrayView waiting = socket()->buffered();
    if (!waiting.isEmpty()) {
        if (m_size + waiting.size() > limits().maxUploadSize) {
            discard();
            reject(where, QStringLiteral("upload larger than %1 bytes; discarded")
                              .arg(limits().maxUploadSize));
            return;
        }
        if (!m_file) {
            QString error;
            m_file = m_service->createTemporaryFile(&error);
            if (!m_file) {
                reject(where, error);
                return;
            }
        }
        if (m_file->write(waiting.data(), waiting.size()) != waiting.size() || !m_file->flush()) {
            const QString error = QStringLiteral("cannot write %1: %2; upload discarded")
                                      .arg(m_file->fileName(), m_file->errorString());
            discard();
            reject(where, error);
            return;
        }
        m_hash.addData(waiting);
        m_size += waiting.size();
        socket()->consume(waiting.size());
    }
    if (!inputEnded())
        return;

    requestCompleted();
    if (m_size == 0) {
        qWarning().noquote()
            << QStringLiteral("UploadConnection::processInput() %1: closed without sending a byte")
                   .arg(peer());
    } else {
        m_service->store(*m_file, m_size, m_hash.result().toHex());
    }
    discard();
    finish();
}

void UploadConnection::connectionReset()
{
    qWarning().noquote() << QStringLiteral("UploadConnection::connectionReset() %1: connection "
                                           "reset (%2) after %3 bytes; upload discarded")
                                .arg(peer(), socket()->errorString())
                                .arg(m_size);
    discard();
}
