#pragma once

#include "server/serverlimits.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;
class ServiceConnection;

// A listening TCP port of the reference server. It accepts clients up to the
// connection limit (excess clients are closed at once) and hands each to a
// connection object of the service's protocol.
class TcpService : public QObject
{
    Q_OBJECT

public:
    TcpService(const QString &name, const ServerLimits &limits, QObject *parent = nullptr);

    // Port 0 chooses a free port. On failure error says why.
    bool listen(const QHostAddress &address, quint16 port, QString *error);

    QString name() const { return m_name; }
    quint16 serverPort() const;
    QHostAddress serverAddress() const;
    // "registry listening on 127.0.0.1:40123"
    QString listeningLine() const;
    int connectionCount() const { return m_connectionCount; }
    const ServerLimits &limits() const { return m_limits; }

Q_SIGNALS:
    void connectionCountChanged(int count);

protected:
    virtual ServiceConnection *createConnection(QTcpSocket *socket) = 0;

private Q_SLOTS:
    void handleNewConnection();

private:
    QString m_name;
    ServerLimits m_limits;
    QTcpServer *m_server;
    int m_connectionCount = 0;
};
