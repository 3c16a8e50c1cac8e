#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <memory>

class QTcpServer;
class QTcpSocket;
class QThread;

// A hash registry for tests: a real TCP server on 127.0.0.1 with an ephemeral
// port, running its sockets on a thread of its own so that clients blocking on
// the test thread are served. It records every request, answers from a table
// (digests it does not know get NO_DATA) after a first header line, and
// misbehaves on demand. Every setter applies to the answers sent after it.
class RegistryTestServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray token;
        QByteArray installationDigest;
        QByteArray platformDigest;
        QList<QByteArray> digests;
        QByteArray raw; // the request exactly as received
    };

    explicit RegistryTestServer(QObject *parent = nullptr);
    ~RegistryTestServer() override;

    // Starts listening (an ephemeral port the first time, the same port again
    // after setRefusing(true)). False when the port cannot be had.
    bool listen();
    quint16 port() const;
    // "127.0.0.1:<port>", the form WINORVEX_REGISTRY takes.
    QByteArray address() const;
    // Stops listening so that connections are refused; false listens again on
    // the same port. Connections already accepted stay open.
    bool setRefusing(bool refusing);

    // The answer table: rate -1 is sent as NO_DATA.
    void setAnswer(const QString &digest, quint32 lastSeen, int rate);
    // Sends this text (it may hold several lines) instead of the digest's
    // record; the line end is appended. An empty text leaves the digest out of
    // the answer; a null text restores the record.
    void setAnswerLine(const QString &digest, const QByteArray &line);

    // The first line of every answer (default "ORVEX REGISTRY ANSWER").
    void setFirstLine(const QByteArray &line);
    // Lines sent after the first line and before the records: garbage,
    // comments, records for digests never asked.
    void setLeadingLines(const QList<QByteArray> &lines);
    // "\n" by default; "\r\n" for CRLF answers.
    void setLineEnd(const QByteArray &lineEnd);
    // " " by default; "  " breaks every record.
    void setFieldSeparator(const QByteArray &separator);
    // Comment lines after the first line until the answer holds at least this
    // many bytes before the records (0: none).
    void setPadding(qint64 bytes);
    // Writes every answer in pieces of this size with a pause between them
    // (0: in one write).
    void setPieces(int pieceSize, int pauseMs);
    // Records requests but never answers.
    void setSilent(bool silent);
    // Sends only this many bytes of an answer, then closes the connection
    // (-1: the whole answer, connection kept).
    void setCloseAfter(qint64 bytes);
    // Ends every answer halfway through this digest's record and closes the
    // connection (a null digest: never).
    void setCutInRecord(const QString &digest);
    // Leaves the line end off the last line of every answer.
    void setLastLineEndOmitted(bool omitted);
    // After the first line, sends a comment line one byte every intervalMs for
    // as long as the trickle lasts; setTrickle(0) ends the line and sends the
    // rest of each answer under way.
    void setTrickle(int intervalMs);
    // The misbehaviours set so far apply to this many answers from now on;
    // later ones are sound, from the same answer table (-1: for good). Lets a
    // test fail the first answers without racing the client for the next ones.
    void setFaultyAnswers(int count);

    int connectionCount() const;
    // Milliseconds since the server was made, one per accepted connection.
    QList<qint64> connectionTimes() const;
    int requestCount() const;
    QList<Request> requests() const;
    // Every answer record line sent for this digest, over all requests.
    int timesAnswered(const QString &digest) const;

private:
    struct Record
    {
        QByteArray lastSeen;
        QByteArray rate;
    };
    struct Config
    {
        QHash<QByteArray, Record> records;
        QHash<QByteArray, QByteArray> rawLines;
        QByteArray firstLine = "ORVEX REGISTRY ANSWER";
        QList<QByteArray> leadingLines;
        QByteArray lineEnd = "\n";
        QByteArray separator = " ";
        qint64 padding = 0;
        int pieceSize = 0;
        int pauseMs = 0;
        bool silent = false;
        qint64 closeAfter = -1;
        QByteArray cutInRecord;
        bool lastLineEndOmitted = false;
        int trickleMs = 0;
    };

    void acceptConnections();
    void readRequests(QTcpSocket *socket, const std::shared_ptr<QByteArray> &buffer);
    // Called with m_mutex held. cutAt: where setCutInRecord() ends the answer (-1: nowhere).
    QByteArray answerFor(const Config &config, const Request &request, qint64 *cutAt);
    void trickle(QTcpSocket *socket, const std::shared_ptr<const QByteArray> &rest,
                 const Config &config);
    void writePieces(QTcpSocket *socket, const std::shared_ptr<const QByteArray> &answer,
                     qint64 offset, int pieceSize, int pauseMs, bool closeAtEnd);

    QThread *m_thread;
    QTcpServer *m_server; // lives on m_thread
    quint16 m_port = 0;
    QElapsedTimer m_clock;

    mutable QMutex m_mutex; // guards everything below
    Config m_config;
    int m_faultyAnswers = -1;
    QList<qint64> m_connectionTimes;
    QList<Request> m_requests;
    QHash<QByteArray, int> m_timesAnswered;
};
