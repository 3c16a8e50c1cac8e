#pragma once

#include "server/serverlimits.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class ConnectionSocket;
class ServiceConnection;
class TcpListener;

// A listening TCP port of the reference server. It accepts clients up to the
// connection limit and hands each to a connection object of the service's
// protocol. When every place is taken, a new client displaces the slowest
// connection that has gone a while without completing a request, so clients
// that trickle bytes cannot lock out those that complete their requests; only
// when every connection is busy or fresh is the new client closed at once.
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
    int connectionCount() const { return static_cast<int>(m_connections.size()); }
    const ServerLimits &limits() const { return m_limits; }

    // Bytes the open connections hold in memory now, the most any one
    // connection ever held, and every byte received so far.
    qint64 heldBytes() const;
    qint64 peakHeldBytes() const;
    qint64 bytesReceived() const;
    // Output of the open connections waiting for the kernel to take it.
    qint64 bytesToWrite() const;

Q_SIGNALS:
    void connectionCountChanged(int count);

protected:
    virtual ServiceConnection *createConnection(ConnectionSocket *socket) = 0;

private Q_SLOTS:
    void handleAccepted(qintptr descriptor);

private:
    ServiceConnection *displaceable() const;
    void forget(ServiceConnection *connection);

    QString m_name;
    ServerLimits m_limits;
    TcpListener *m_listener;
    QList<ServiceConnection *> m_connections;
    qint64 m_peakHeldBytes = 0; // of connections already gone
    qint64 m_bytesReceived = 0; // likewise
};
