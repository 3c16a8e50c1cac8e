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
// A long answer is written a few megabytes at a time as the client reads it,
// and the next request waits until it is out: a client that does not read
// holds no more than its own request and one slice of answer.
class RegistryConnection : public ServiceConnection
{
    Q_OBJECT

public:
    RegistryConnection(QTcpSocket *socket, const ServerLimits &limits, RegistryService *service);

protected:
    void processInput() override;
    void peerClosed() override;

private:
    enum class State { AwaitingBegin, Header, Digests, Answering };

    void handleLine(const char *line, qsizetype size);
    void answer();
    void continueAnswer();

    RegistryService *m_service;
    State m_state = State::AwaitingBegin;
    int m_headerLines = 0;
    int m_requestLines = 0;
    int m_skippedLines = 0;
    QByteArray m_digests; // 16 raw bytes per digest line, in request order
    std::shared_ptr<const HashList> m_answerList;
    qsizetype m_answered = 0;
    bool m_headerSent = false;
    QByteArray m_lineBuffer;
};
