#pragma once

#include <QTcpServer>

// A listening socket that hands each accepted connection over as a bare
// descriptor, for ConnectionSocket to own, instead of wrapping it in a
// QTcpSocket.
class TcpListener : public QTcpServer
{
    Q_OBJECT

public:
    using QTcpServer::QTcpServer;

Q_SIGNALS:
    // The receiver owns the descriptor.
    void accepted(qintptr descriptor);

protected:
    void incomingConnection(qintptr descriptor) override;
};
