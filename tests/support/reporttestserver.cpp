#include "reporttestserver.h"

#include <QTcpSocket>

#include <memory>

ReportTestServer::ReportTestServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &ReportTestServer::accept);
}

bool ReportTestServer::listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

void ReportTestServer::close()
{
    m_server.close();
}

quint16 ReportTestServer::port() const
{
    return m_server.serverPort();
}

QByteArray ReportTestServer::address() const
{
    return "127.0.0.1:" + QByteArray::number(port());
}

void ReportTestServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++m_accepted;
        socket->setParent(this);
        if (m_resetting) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto data = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket,
                [socket, data] { *data += socket->readAll(); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket, data] {
            *data += socket->readAll();
            m_reports << *data;
            socket->deleteLater();
            Q_EMIT reportReceived();
        });
    }
}
