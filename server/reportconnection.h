#pragma once

#include "server/serviceconnection.h"

#include <QByteArray>

class ReportService;

// One false-positive report: everything the client sends until it closes. A
// report larger than the limit, or cut by the idle limit, is thrown away.
class ReportConnection : public ServiceConnection
{
    Q_OBJECT

public:
    ReportConnection(QTcpSocket *socket, const ServerLimits &limits, ReportService *service);

protected:
    void processInput() override;
    void peerClosed() override;

private:
    bool take();

    ReportService *m_service;
    QByteArray m_report;
};
