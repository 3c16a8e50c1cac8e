#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>

class QTcpSocket;

// Sends one prepared request to the hash registry over a blocking socket and
// hands the whole answer on as one payload. Runs on the query handler's worker
// thread and never relies on an event loop.
class OrvexCommunicator : public QObject
{
    Q_OBJECT

public:
    // How long connectToOrvex() waits for the connection.
    static constexpr int connectTimeout = 30000;
    // An answer larger than this is refused: the server is broken or hostile.
    static constexpr qint64 maxAnswerSize = 64 * 1024 * 1024;
    // A whole answer must have arrived within this many milliseconds of the
    // request, plus the time its size takes at answerRate bytes per second:
    // a server that trickles bytes would otherwise hold the query for ever.
    static constexpr int answerDeadline = 30000;
    static constexpr int answerRate = 64 * 1024;

    explicit OrvexCommunicator(QObject *parent = nullptr);

    // Takes a socket into use; the caller keeps ownership.
    void setSocket(QTcpSocket *socket);
    // Every wait looks at this at least every Clock::StopCheckMs and gives up
    // when it holds.
    void setStopCheck(std::function<bool()> stopRequested);
    bool connectToOrvex();
    // Sends the request and collects the answer; true when a whole answer was read.
    bool queryOrvex();
    // Why the last connectToOrvex() or queryOrvex() failed, in words for the
    // user ("connection refused"); empty after a success or a stop.
    QString failure() const { return m_failure; }
    void setRequest(const QByteArray &request);
    QByteArray request() const;
    bool isConnected() const;
    QString host() const;
    quint16 port() const;
    // "host:port", an IPv6 host in brackets.
    QString address() const;
    // The milliseconds (designed, before the test seam) an answer of this many
    // bytes may take from its request.
    static int answerTimeAllowed(qint64 bytes);
    // A socket error in words for the user.
    static QString errorText(QAbstractSocket::SocketError error, const QString &errorString);
    int queryTimeout() const { return m_queryTimeout; }
    int readTimeout() const { return m_readTimeout; }

    // Request lines 2 to 4: the client token, the installation digest and the
    // platform digest, each 32 lower-case hexadecimal digits.
    static QByteArray clientToken();
    static QByteArray installationDigest();
    static QByteArray platformDigest();

Q_SIGNALS:
    void payload(QByteArray);
    void communicationError(QString);
    void communicationEstablished();

public Q_SLOTS:
    void socketConnected();
    void socketDisconnected();
    void displaySocketError(QAbstractSocket::SocketError error);

protected Q_SLOTS:
    void readServer();

private:
    bool isStopRequested() const { return m_stopRequested && m_stopRequested(); }
    // Serves the socket's notifications until it has connected or failed, the
    // connect time-out passed or a stop came.
    bool waitForConnection();
    // Waits at most timeoutMs for bytes to read, with the socket's signals
    // blocked; false when none came, the connection ended or a stop came.
    bool waitForBytes(int timeoutMs);
    // Drops the connection without reporting it as an error.
    static void dropConnection(QTcpSocket *socket);

    QTcpSocket *m_socket = nullptr;
    QByteArray m_request;
    QString m_host;
    quint16 m_port = 43;
    const int m_queryTimeout = 10000;
    const int m_readTimeout = 2000;
    // Set by readServer(): false when the answer was refused.
    bool m_answerAccepted = false;
    QString m_failure;
    std::function<bool()> m_stopRequested;
    // Runs from the moment the request was sent.
    QElapsedTimer m_answerClock;
};
