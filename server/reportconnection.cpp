#include "server/reportconnection.h"

#include "server/reportservice.h"

#include <QDebug>
#include <QTcpSocket>

ReportConnection::ReportConnection(QTcpSocket *socket, const ServerLimits &limits,
                                   ReportService *service)
    : ServiceConnection(service->name(), socket, limits, service), m_service(service)
{
}

bool ReportConnection::take()
{
    m_report.append(socket()->readAll());
    if (m_report.size() > limits().maxReportSize) {
        m_report.clear();
        reject(
            QStringLiteral("ReportConnection::take()"),
            QStringLiteral("report larger than %1 bytes; discarded").arg(limits().maxReportSize));
        return false;
    }
    return true;
}

void ReportConnection::processInput()
{
    take();
}

void ReportConnection::peerClosed()
{
    if (!take())
        return;
    QByteArray report = m_report;
    m_report.clear();
    // A client that ends its report with a line end gets no empty line.
    if (report.endsWith('\n'))
        report.chop(1);
    if (report.endsWith('\r'))
        report.chop(1);
    if (report.isEmpty()) {
        qWarning().noquote() << QStringLiteral(
                                    "ReportConnection::peerClosed() %1: closed without a report")
                                    .arg(peer());
        return;
    }
    m_service->appendReport(report);
}
