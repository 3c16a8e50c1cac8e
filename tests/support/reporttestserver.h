#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

// A false-positive report server for tests: a real TCP server on 127.0.0.1 with
// an ephemeral port. It keeps what each client sent once the client closed, or
// resets every connection as soon as it is accepted, before reading a byte.
class ReportTestServer : public QObject
{
    Q_OBJECT

public:
    explicit ReportTestServer(QObject *parent = nullptr);

    // Port 0 picks a free one.
    bool listen(quint16 port = 0);
    void close();
    quint16 port() const;
    // "127.0.0.1:<port>", the form WINORVEX_REPORT_SERVER takes.
    QByteArray address() const;
    void setResetting(bool resetting) { m_resetting = resetting; }

    int acceptedCount() const { return m_accepted; }
    // The bytes of each connection that the client closed, in order.
    QList<QByteArray> reports() const { return m_reports; }

Q_SIGNALS:
    void reportReceived();

private:
    void accept();

    QTcpServer m_server;
    bool m_resetting = false;
    int m_accepted = 0;
    QList<QByteArray> m_reports;
};
