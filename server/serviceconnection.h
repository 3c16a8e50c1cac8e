#pragma once

#include "server/serverlimits.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class ConnectionSocket;
class QTimer;

// One accepted client connection of a service. It owns the socket, closes it
// after the idle limit or at the request deadline, and tells the protocol
// below when bytes wait, when output drained, and when the peer has finished
// sending. The service deletes it after finished().
class ServiceConnection : public QObject
{
    Q_OBJECT

public:
    ServiceConnection(const QString &serviceName, ConnectionSocket *socket,
                      const ServerLimits &limits, QObject *parent = nullptr);
    ~ServiceConnection() override;

    // "registry 127.0.0.1:50123", for log lines.
    QString peer() const { return m_peer; }
    bool isClosing() const { return m_closing; }

    // Bytes this connection holds in memory now, and the most it ever held.
    qint64 heldBytes() const;
    qint64 peakHeldBytes() const { return m_peakHeldBytes; }
    qint64 bytesReceived() const;
    // Output waiting in this process for the kernel to take it.
    qint64 bytesToWrite() const;

    // What the service weighs when a new client needs this connection's place:
    // a connection that is sending an answer is never displaced; otherwise the
    // one that moved the fewest bytes per second since it last completed a
    // request (or was accepted) goes first, once that is long enough ago.
    virtual bool isSendingAnswer() const;
    qint64 msSinceProgress() const { return m_sinceProgress.elapsed(); }
    qint64 bytesSinceProgress() const;
    // Closes at once, to make room for a new client.
    void displace(const QString &why);

    // Input is taken from the kernel only while less than this waits.
    static qint64 readBufferSize(const ServerLimits &limits);

Q_SIGNALS:
    void finished();

protected:
    ConnectionSocket *socket() const { return m_socket; }
    const ServerLimits &limits() const { return m_limits; }

    // Bytes wait, written output drained (a protocol that stopped under
    // back-pressure can go on), or the peer has finished sending
    // (inputEnded()). Never called once the connection is closing.
    virtual void processInput() = 0;
    // The peer reset the connection: nothing more can be sent, and what it
    // sent last may be missing.
    virtual void connectionReset() {}
    // Memory the protocol holds beyond the socket's buffers.
    virtual qint64 protocolHeldBytes() const { return 0; }

    // True once the peer has ended its side in an orderly way: what is
    // buffered is all that comes.
    bool inputEnded() const;
    // The request in progress is whole: its deadline stops, and the next one
    // starts with the next byte.
    void requestCompleted();

    // Logs one line "<where> <peer>: <problem>; closing" and closes cleanly: the
    // output already queued is still sent, further input is thrown away.
    void reject(const QString &where, const QString &problem);
    // Closes cleanly once the queued output is sent.
    void finish();

private Q_SLOTS:
    void handleReadyRead();
    void handleBytesWritten();
    void handleInputFinished();
    void handleClosed();
    void handleIdleTimeout();
    void handleRequestTimer();

private:
    void startRequest();
    void process();
    void notePeak();
    qint64 bytesMoved() const;

    ConnectionSocket *m_socket;
    ServerLimits m_limits;
    QString m_peer;
    QTimer *m_idleTimer;
    QTimer *m_requestTimer;
    QElapsedTimer m_requestClock;
    qint64 m_requestStartBytes = 0;
    QElapsedTimer m_sinceProgress;
    qint64 m_progressBytes = 0;
    qint64 m_peakHeldBytes = 0;
    bool m_requestRunning = false;
    bool m_closing = false;
    bool m_done = false;
};
