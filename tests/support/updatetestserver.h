#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>

class QTcpServer;
class QTcpSocket;

// An update server for tests: a real TCP server on 127.0.0.1 with an ephemeral
// port, on the thread that makes it (the update check's client never blocks).
// Every connection gets the scripted answer after its request line, then the
// server closes, unless the script says otherwise. Setters apply to the
// connections accepted after them.
class UpdateTestServer : public QObject
{
    Q_OBJECT

public:
    explicit UpdateTestServer(QObject *parent = nullptr);
    ~UpdateTestServer() override;

    bool listen();
    // "127.0.0.1:<port>", the form WINORVEX_UPDATE_SERVER takes.
    QByteArray address() const;

    // Sent after the request line (default "UP_TO_DATE\n").
    void setAnswer(const QByteArray &answer);
    // Sent as soon as the client connects, before its request, in a write of its own.
    void setGreeting(const QByteArray &greeting);
    // The answer in writes of this size, a pause between them (0: one write).
    void setPieces(int pieceSize, int pauseMs);
    // The connection stays open after the answer.
    void setKeepOpen(bool keepOpen);
    // Requests wait unanswered until releaseAnswers().
    void setHeld(bool held);
    void releaseAnswers();

    int connectionCount() const { return m_connections; }
    // Connections that the client closed before the server did.
    int closedByClient() const { return m_closedByClient; }
    // The request lines, line end included.
    QList<QByteArray> requests() const { return m_requests; }

Q_SIGNALS:
    void requestReceived();
    void clientClosed();

private:
    struct Script
    {
        QByteArray answer = "UP_TO_DATE\n";
        QByteArray greeting;
        int pieceSize = 0;
        int pauseMs = 0;
        bool keepOpen = false;
    };

    void accept();
    void read(QTcpSocket *socket, const Script &script);
    void answer(QTcpSocket *socket, const Script &script, qsizetype offset);

    QTcpServer *m_server;
    Script m_script;
    bool m_held = false;
    QList<QPair<QPointer<QTcpSocket>, Script>> m_waiting;
    int m_connections = 0;
    int m_closedByClient = 0;
    QList<QByteArray> m_requests;
};
