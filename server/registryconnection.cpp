#include "server/registryconnection.h"

#include "server/connectionsocket.h"
#include "server/registryservice.h"

#include <QDebug>

#include <charconv>
#include <cstring>

namespace {

// Records are produced this many at a time between looks at the queue, and
// handed to the socket once this many bytes are ready.
constexpr qsizetype recordsPerSlice = 256;
constexpr qsizetype answerChunk = 64 * 1024;
// "<32 digits> <last-seen, up to 20 digits> <rate>\n", and the header line.
constexpr qsizetype maxRecordSize = 64;

bool isPrintable(const char *line, qsizetype size)
{
    for (qsizetype i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\t') || c > 0x7e)
            return false;
    }
    return true;
}

bool equals(const char *line, qsizetype size, const char *word)
{
    const qsizetype length = qstrlen(word);
    return size == length && memcmp(line, word, size) == 0;
}

} // namespace

RegistryConnection::RegistryConnection(ConnectionSocket *socket, const ServerLimits &limits,
                                       RegistryService *service)
    : ServiceConnection(service->name(), socket, limits, service), m_service(service)
{
}

qint64 RegistryConnection::memoryBound(const ServerLimits &limits)
{
    return readBufferSize(limits) + heldDigests * 16 + answerQueueLimit + 2 * answerChunk;
}

bool RegistryConnection::isSendingAnswer() const
{
    return m_state == State::Answering || m_streaming || ServiceConnection::isSendingAnswer();
}

qint64 RegistryConnection::protocolHeldBytes() const
{
    return m_digests.capacity() + m_out.capacity();
}

void RegistryConnection::processInput()
{
    bool blocked = false; // by output the client has not read yet
    while (!isClosing()) {
        if (m_state == State::Answering || m_streaming)
            produce();
        if (m_state == State::Answering && pendingDigests() == 0) {
            m_state = State::AwaitingBegin;
            m_streaming = false;
            m_answerList.reset();
            m_digests = QByteArray();
            m_answered = 0;
        }
        if (socket()->bytesToWrite() + m_out.size() >= answerQueueLimit) {
            blocked = true; // resumed by bytesWritten
            break;
        }
        if (pendingDigests() >= heldDigests) {
            m_streaming = true;
            continue;
        }
        if (!takeLine())
            break;
    }
    flush();
    if (!blocked && !isClosing() && inputEnded())
        endOfInput();
}

bool RegistryConnection::takeLine()
{
    const QString where = QStringLiteral("RegistryConnection::processInput()");
    const qsizetype maxLength = limits().maxLineLength;
    const QByteArrayView waiting = socket()->buffered();
    const qsizetype lineEnd = waiting.indexOf('\n');
    if (lineEnd < 0) {
        // Garbage is refused as it comes, not only once a line end turns up.
        if (waiting.size() > maxLength + 1) {
            fail(where, QStringLiteral("line longer than %1 bytes").arg(maxLength));
        } else if (!isPrintable(waiting.data(),
                                waiting.endsWith('\r') ? waiting.size() - 1 : waiting.size())) {
            fail(where, QStringLiteral("bytes that are not text"));
        }
        return false;
    }
    qsizetype size = lineEnd;
    if (size > 0 && waiting.at(size - 1) == '\r')
        --size;
    if (size > maxLength) {
        fail(where, QStringLiteral("line longer than %1 bytes").arg(maxLength));
        return false;
    }
    const State before = m_state;
    handleLine(waiting.data(), size);
    socket()->consume(lineEnd + 1);
    // The request's deadline ends with its "end"; the answer is the client's
    // to read, under the idle limit.
    if (before == State::Digests && m_state == State::Answering)
        requestCompleted();
    return !isClosing();
}

void RegistryConnection::handleLine(const char *line, qsizetype size)
{
    const QString where = QStringLiteral("RegistryConnection::handleLine()");
    if (!isPrintable(line, size)) {
        fail(where, QStringLiteral("bytes that are not text"));
        return;
    }
    switch (m_state) {
    case State::AwaitingBegin:
        if (size == 0)
            return;
        if (!equals(line, size, "begin")) {
            fail(where, QStringLiteral("request does not start with \"begin\""));
            return;
        }
        m_state = State::Header;
        m_headerLines = 0;
        m_requestLines = 0;
        m_skippedLines = 0;
        m_headerSent = false;
        m_streaming = false;
        // The whole answer comes from the list in use now, even if a reload
        // swaps it while a long request is still coming.
        m_answerList = m_service->hashList();
        return;
    case State::Header:
        // Token, installation digest, platform digest: anonymous, but well formed.
        if (!Md5Key::fromHex(line, size)) {
            fail(where, QStringLiteral("request line %1 is not 32 hexadecimal digits")
                            .arg(m_headerLines + 2));
            return;
        }
        if (++m_headerLines == 3)
            m_state = State::Digests;
        return;
    case State::Digests:
        if (equals(line, size, "end")) {
            if (m_skippedLines > 0) {
                qWarning().noquote() << QStringLiteral("RegistryConnection::handleLine() %1: "
                                                       "skipped %2 lines that are not digests")
                                            .arg(peer())
                                            .arg(m_skippedLines);
            }
            m_state = State::Answering;
            return;
        }
        if (++m_requestLines > limits().maxDigests) {
            fail(where,
                 QStringLiteral("no \"end\" within %1 digest lines").arg(limits().maxDigests));
            return;
        }
        if (const std::optional<Md5Key> key = Md5Key::fromHex(line, size)) {
            // Answered digests at the front make room; at most heldDigests wait.
            const qsizetype pending = pendingDigests();
            if (m_answered > 0 && m_digests.size() + 16 > m_digests.capacity()) {
                memmove(m_digests.data(), m_digests.constData() + m_answered * 16, pending * 16);
                m_digests.resize(pending * 16);
                m_answered = 0;
            }
            if (m_digests.size() + 16 > m_digests.capacity()) {
                m_digests.reserve(qMin<qsizetype>(heldDigests * 16,
                                                  qMax<qsizetype>(4096, m_digests.capacity() * 2)));
            }
            m_digests.append(reinterpret_cast<const char *>(key->bytes.data()), 16);
        } else if (size > 0) {
            ++m_skippedLines;
        }
        return;
    case State::Answering:
        return; // not reached: lines wait in the socket until the answer is out
    }
}

void RegistryConnection::produce()
{
    constexpr qsizetype prefetchDistance = 8;
    const HashList &list = *m_answerList;
    const char *digests = m_digests.constData();
    const qsizetype count = m_digests.size() / 16;
    Md5Key key;
    Md5Key ahead;
    // The header goes in the same write as the first records: a small
    // segment of its own would wait for the client's delayed ACK (Nagle).
    if (!m_headerSent) {
        m_out.append(RegistryService::answerHeader());
        m_headerSent = true;
    }
    while (m_answered < count && socket()->bytesToWrite() + m_out.size() < answerQueueLimit) {
        const qsizetype sliceEnd = qMin(count, m_answered + recordsPerSlice);
        // Room for a whole slice, so the buffer never grows past one chunk and
        // one slice.
        m_out.reserve(qMin(answerChunk + recordsPerSlice * maxRecordSize,
                           m_out.size() + (count - m_answered) * maxRecordSize));
        for (qsizetype i = m_answered; i < sliceEnd; ++i) {
            if (i + prefetchDistance < count) {
                memcpy(ahead.bytes.data(), digests + (i + prefetchDistance) * 16, 16);
                list.prefetch(ahead);
            }
            memcpy(key.bytes.data(), digests + i * 16, 16);
            key.appendHex(m_out);
            if (const HashListEntry *entry = list.find(key)) {
                // Without a temporary string per number: a long answer is
                // mostly this loop.
                char fields[48];
                char *const last = fields + sizeof fields - 1; // room for the line end
                char *end = fields;
                *end++ = ' ';
                end = std::to_chars(end, last - 1, entry->lastSeen).ptr;
                *end++ = ' ';
                end = std::to_chars(end, last, entry->detectionRate).ptr;
                *end++ = '\n';
                m_out.append(fields, end - fields);
            } else {
                m_out.append(" 0 NO_DATA\n");
            }
        }
        m_answered = sliceEnd;
        if (m_out.size() >= answerChunk)
            flush();
    }
    if (m_answered == count) {
        m_digests.resize(0);
        m_answered = 0;
    }
}

void RegistryConnection::flush()
{
    if (m_out.isEmpty())
        return;
    socket()->write(m_out);
    m_out = QByteArray();
}

void RegistryConnection::fail(const QString &where, const QString &problem)
{
    // Records already produced belong to answers that are still sent.
    flush();
    reject(where, problem);
}

void RegistryConnection::endOfInput()
{
    // The client has said all it will say; what it asked for in full is
    // answered (and sent) before the connection closes.
    if (m_state != State::AwaitingBegin || !socket()->buffered().isEmpty()) {
        qWarning().noquote() << QStringLiteral("RegistryConnection::endOfInput() %1: closed its "
                                               "side in the middle of a request")
                                    .arg(peer());
    }
    finish();
}

void RegistryConnection::connectionReset()
{
    if (m_state == State::Answering || m_streaming) {
        qWarning().noquote() << QStringLiteral("RegistryConnection::connectionReset() %1: reset "
                                               "before the whole answer was sent")
                                    .arg(peer());
    } else if (m_state != State::AwaitingBegin) {
        qWarning().noquote() << QStringLiteral("RegistryConnection::connectionReset() %1: reset "
                                               "in the middle of a request")
                                    .arg(peer());
    }
}
