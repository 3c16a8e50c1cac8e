#pragma once

#include "server/serviceconnection.h"

#include <QByteArray>

class ReportService;

// One false-positive report: everything the client sends until it ends its
// side of the connection in an orderly way. A report larger than the limit,
// cut by the idle limit or the request deadline, or ended by a reset, is
// thrown away: only a report the client finished is stored.
class ReportConnection : public ServiceConnection
{
    Q_OBJECT

public:
    ReportConnection(ConnectionSocket *socket, const ServerLimits &limits, ReportService *service);

protected:
    void processInput() override;
    void connectionReset() override;
    qint64 protocolHeldBytes() const override { return m_report.capacity(); }

private:
    ReportService *m_service;
    QByteArray m_report;
};
