#pragma once

#include "platform/uniquefd.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

// The server's end of one accepted TCP connection, on a non-blocking descriptor.
//
// QTcpSocket cannot serve these protocols soundly: it closes the whole
// connection when the peer half-closes (losing an answer still queued), and it
// reports a reset exactly like an orderly close. Here the two directions are
// apart: the peer's end of input is reported (inputFinished()) while answers
// can still be written, and a reset is told from an orderly end.
//
// Bytes are taken from the kernel only while fewer than the read buffer size
// wait to be consumed, so a peer that sends faster than its requests are
// handled is slowed down by TCP instead of filling memory.
class ConnectionSocket : public QObject
{
    Q_OBJECT

public:
    enum class Input {
        Open,     // the peer may send more
        Finished, // the peer ended its side in an orderly way; what it sent is buffered
        Reset,    // the connection was reset (or failed); nothing more moves
    };

    // Takes over the descriptor of an accepted, connected TCP socket.
    explicit ConnectionSocket(qintptr descriptor, QObject *parent = nullptr);
    ~ConnectionSocket() override;

    QHostAddress peerAddress() const { return m_peerAddress; }
    quint16 peerPort() const { return m_peerPort; }
    bool isOpen() const { return m_fd.isValid(); }
    Input input() const { return m_input; }
    // Why the connection was reset, for log lines.
    QString errorString() const { return m_errorString; }

    // Input waiting to be consumed. The view stays valid until control goes
    // back to the event loop.
    QByteArrayView buffered() const
    {
        return QByteArrayView(m_in.constData() + m_inStart, m_in.size() - m_inStart);
    }
    void consume(qsizetype size);
    QByteArray takeAll();
    void setReadBufferSize(qsizetype size);

    // Queues the bytes and hands to the kernel what it takes at once.
    // bytesWritten() reports only what leaves later, from the event loop.
    void write(const QByteArray &data);
    qint64 bytesToWrite() const { return m_outSize; }

    // Sends what is queued, then ends this side; from now on input is thrown
    // away. closed() follows once the peer has closed its side too, or after
    // a short linger when it does not.
    void finish();
    // Closes at once; queued output is dropped.
    void abort();

    // Totals over the connection's life.
    qint64 bytesReceived() const { return m_bytesReceived; }
    qint64 bytesSent() const { return m_bytesSent; }
    // Bytes held in this process for the connection: input not yet consumed
    // and output not yet handed to the kernel.
    qint64 heldBytes() const { return (m_in.size() - m_inStart) + m_outSize; }

    // How long a finished connection waits for the peer's close.
    static constexpr int lingerTimeoutMs = 2000;

Q_SIGNALS:
    void readyRead();
    void bytesWritten(qint64 bytes);
    void inputFinished();
    // The descriptor is closed; emitted once, always from the event loop.
    void closed();

private Q_SLOTS:
    void handleReadable();
    void handleWritable();

private:
    void readInput();
    void discardInput();
    void endOfInput();
    qint64 sendQueued();
    void shutdownOutput();
    void fail(int error);
    void closeDescriptor();

    UniqueFd m_fd;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_lingerTimer = nullptr;
    QHostAddress m_peerAddress;
    quint16 m_peerPort = 0;
    Input m_input = Input::Open;
    QString m_errorString;

    QByteArray m_in;
    qsizetype m_inStart = 0;
    qsizetype m_readBufferSize = 64 * 1024;

    QList<QByteArray> m_out;
    qsizetype m_outFrontSent = 0; // bytes of m_out.first() already sent
    qint64 m_outSize = 0;

    bool m_finishing = false;
    bool m_outputShut = false;
    qint64 m_bytesReceived = 0;
    qint64 m_bytesSent = 0;
};
