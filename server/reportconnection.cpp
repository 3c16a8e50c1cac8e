#include "server/reportconnection.h"

#include "server/connectionsocket.h"
#include "server/reportservice.h"

#include <QDebug>

ReportConnection::ReportConnection(ConnectionSocket *socket, const ServerLimits &limits,
                                   ReportService *service)
    : ServiceConnection(service->name(), socket, limits, service), m_service(service)
{
}

void ReportConnection::processInput()
{
    const QByteArrayView waiting = socket()->buffered();
    if (m_report.size() + waiting.size() > limits().maxReportSize) {
        m_report = QByteArray();
        reject(
            QStringLiteral("ReportConnection::processInput()"),
            QStringLiteral("report larger than %1 bytes; discarded").arg(limits().maxReportSize));
        return;
    }
    m_report.append(waiting);
    socket()->consume(waiting.size());
    if (!inputEnded())
        return;

    requestCompleted();
    QByteArray report = std::move(m_report);
    m_report = QByteArray();
    // A client that ends its report with a line end gets no empty line.
    if (report.endsWith('\n'))
        report.chop(1);
    if (report.endsWith('\r'))
        report.chop(1);
    if (report.isEmpty()) {
        qWarning().noquote() << QStringLiteral(
                                    "ReportConnection::processInput() %1: closed without a report")
                                    .arg(peer());
    } else {
        m_service->appendReport(report);
    }
    finish();
}

void ReportConnection::connectionReset()
{
    qWarning().noquote() << QStringLiteral("ReportConnection::connectionReset() %1: connection "
                                           "reset (%2) after %3 bytes; report discarded")
                                .arg(peer(), socket()->errorString())
                                .arg(m_report.size());
    m_report = QByteArray();
}
