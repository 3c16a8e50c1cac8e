#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>

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

    explicit OrvexCommunicator(QObject *parent = nullptr);

    // Takes a socket into use; the caller keeps ownership.
    void setSocket(QTcpSocket *socket);
    bool connectToOrvex();
    // Sends the request and collects the answer; true when a whole answer was read.
    bool queryOrvex();
    void setRequest(const QByteArray &request);
    QByteArray request() const;
    bool isConnected() const;
    QString host() const;
    quint16 port() const;
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
    QTcpSocket *m_socket = nullptr;
    QByteArray m_request;
    QString m_host;
    quint16 m_port = 43;
    const int m_queryTimeout = 10000;
    const int m_readTimeout = 2000;
    // Set by readServer(): false when the answer was refused.
    bool m_answerAccepted = false;
};
