#pragma once

#include "server/serviceconnection.h"

#include <QByteArray>

#include <memory>

class HashList;
class RegistryService;

// One client of the registry. A connection carries any number of requests:
//   "begin", the client token, the installation digest, the platform digest,
//   one digest per line, "end"
// and each is answered by the header line and one "<digest> <last-seen> <rate>"
// record per digest line, "0 NO_DATA" for digests the list does not hold.
//
// What is closed and what is skipped: a line that is too long, a byte that is
// not printable text, a request that does not start with "begin", a header line
// that is not 32 hexadecimal digits, or more digest lines than the limit before
// "end" close the connection (answers already queued are still sent). Blank lines
// between requests are ignored. Inside a request, a printable line that is not a
// digest is skipped (and counted against the limit); the request is still
// answered, and one log line tells how many were skipped.
//
// What one connection holds is bounded whatever the client does. A request's
// digests wait for its "end" up to heldDigests of them; a longer request is
// answered as it arrives, its first records going out while the rest is still
// coming. Answers are produced only while less than answerQueueLimit bytes wait
// to be sent: a client that does not read stops the answer, and then the
// reading of its request, and TCP holds the client back. The whole answer
// comes from the list in use when its request began.
class RegistryConnection : public ServiceConnection
{
    Q_OBJECT

public:
    static constexpr qsizetype heldDigests = 16384;
    static constexpr qint64 answerQueueLimit = 256 * 1024;

    RegistryConnection(ConnectionSocket *socket, const ServerLimits &limits,
                       RegistryService *service);

    // The most one registry connection holds in memory.
    static qint64 memoryBound(const ServerLimits &limits);

    // Also while the kernel happens to have taken every byte so far.
    bool isSendingAnswer() const override;

protected:
    void processInput() override;
    void connectionReset() override;
    qint64 protocolHeldBytes() const override;

private:
    enum class State { AwaitingBegin, Header, Digests, Answering };

    bool takeLine();
    void handleLine(const char *line, qsizetype size);
    void produce();
    void endOfInput();
    void fail(const QString &where, const QString &problem);
    void flush();
    qsizetype pendingDigests() const { return m_digests.size() / 16 - m_answered; }

    RegistryService *m_service;
    State m_state = State::AwaitingBegin;
    int m_headerLines = 0;
    int m_requestLines = 0;
    int m_skippedLines = 0;
    QByteArray m_digests;     // 16 raw bytes per digest line not yet answered, in request order
    qsizetype m_answered = 0; // digests at the front of m_digests already answered
    bool m_streaming = false; // the request is answered as it arrives
    bool m_headerSent = false;
    std::shared_ptr<const HashList> m_answerList;
    QByteArray m_out; // records not yet handed to the socket
};
