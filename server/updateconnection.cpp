#include "server/updateconnection.h"

#include "server/updateservice.h"

#include <QDebug>
#include <QTcpSocket>

UpdateConnection::UpdateConnection(QTcpSocket *socket, const ServerLimits &limits,
                                   UpdateService *service)
    : ServiceConnection(service->name(), socket, limits, service), m_service(service)
{
}

void UpdateConnection::processInput()
{
    const QString where = QStringLiteral("UpdateConnection::processInput()");
    QTcpSocket *in = socket();
    if (!in->canReadLine()) {
        if (in->bytesAvailable() > limits().maxLineLength + 1)
            reject(where, QStringLiteral("line longer than %1 bytes").arg(limits().maxLineLength));
        return;
    }
    QByteArray line = in->readLine(limits().maxLineLength + 3);
    if (!line.endsWith('\n')) {
        reject(where, QStringLiteral("line longer than %1 bytes").arg(limits().maxLineLength));
        return;
    }
    line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.size() > limits().maxLineLength) {
        reject(where, QStringLiteral("line longer than %1 bytes").arg(limits().maxLineLength));
        return;
    }
    if (line.contains('\0')) {
        reject(where, QStringLiteral("bytes that are not text"));
        return;
    }
    const QByteArray answer = m_service->answerFor(line);
    if (answer == "ERROR\n") {
        qWarning().noquote() << QStringLiteral("UpdateConnection::processInput() %1: malformed "
                                               "request; answering ERROR")
                                    .arg(peer());
    }
    in->write(answer);
    finish();
}

void UpdateConnection::peerClosed()
{
    qWarning().noquote() << QStringLiteral(
                                "UpdateConnection::peerClosed() %1: closed before a whole request")
                                .arg(peer());
}
