#pragma once

#include "server/serverlimits.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>

class QTcpSocket;
class QTimer;

// One accepted client connection of a service. It owns the socket, closes it
// after the idle limit, and tells the protocol below when bytes wait or the
// peer has finished sending. The service deletes it after finished().
class ServiceConnection : public QObject
{
    Q_OBJECT

public:
    ServiceConnection(const QString &serviceName, QTcpSocket *socket, const ServerLimits &limits,
                      QObject *parent = nullptr);
    ~ServiceConnection() override;

    // "registry 127.0.0.1:50123", for log lines.
    QString peer() const { return m_peer; }
    bool isClosing() const { return m_closing; }

Q_SIGNALS:
    void finished();

protected:
    QTcpSocket *socket() const { return m_socket; }
    const ServerLimits &limits() const { return m_limits; }

    // Bytes wait in the socket. Also called whenever written output drains, so
    // a protocol that stopped under back-pressure can go on.
    virtual void processInput() = 0;
    // The peer closed the connection. Bytes it sent last may still wait in the
    // socket; a protocol that needs them reads them here.
    virtual void peerClosed() {}

    // Logs one line "<where> <peer>: <problem>; closing" and closes cleanly: the
    // output already queued is still sent, further input is thrown away.
    void reject(const QString &where, const QString &problem);
    // Closes cleanly once the queued output is sent.
    void finish();

private Q_SLOTS:
    void handleReadyRead();
    void handleBytesWritten();
    void handleErrorOccurred(QAbstractSocket::SocketError error);
    void handleDisconnected();
    void handleIdleTimeout();

private:
    QTcpSocket *m_socket;
    ServerLimits m_limits;
    QString m_peer;
    QTimer *m_idleTimer;
    bool m_closing = false;
    bool m_done = false;
};
