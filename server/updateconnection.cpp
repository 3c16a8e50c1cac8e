#include "server/updateconnection.h"

#include "server/connectionsocket.h"
#include "server/updateservice.h"

#include <QDebug>

UpdateConnection::UpdateConnection(ConnectionSocket *socket, const ServerLimits &limits,
                                   UpdateService *service)
    : ServiceConnection(service->name(), socket, limits, service), m_service(service)
{
}

void UpdateConnection::processInput()
{
    const QString where = QStringLiteral("UpdateConnection::processInput()");
    const qsizetype maxLength = limits().maxLineLength;
    const QByteArrayView waiting = socket()->buffered();
    const qsizetype lineEnd = waiting.indexOf('\n');
    if (lineEnd < 0) {
        if (waiting.size() > maxLength + 1) {
            reject(where, QStringLiteral("line longer than %1 bytes").arg(maxLength));
        } else if (inputEnded()) {
            qWarning().noquote() << QStringLiteral("UpdateConnection::processInput() %1: closed "
                                                   "before a whole request")
                                        .arg(peer());
            finish();
        }
        return;
    }
    QByteArray line = waiting.first(lineEnd).toByteArray();
    socket()->consume(lineEnd + 1);
    requestCompleted();
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.size() > maxLength) {
        reject(where, QStringLiteral("line longer than %1 bytes").arg(maxLength));
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
    socket()->write(answer);
    finish();
}
