#include "server/registryconnection.h"

#include "server/registryservice.h"

#include <QDebug>
#include <QTcpSocket>

namespace {

// Requests queued behind this much unsent output wait until the client reads.
constexpr qint64 outputHighWater = 4 * 1024 * 1024;

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

RegistryConnection::RegistryConnection(QTcpSocket *socket, const ServerLimits &limits,
                                       RegistryService *service)
    : ServiceConnection(service->name(), socket, limits, service), m_service(service)
{
    // Room for the longest accepted line, its line end, and one byte to see
    // that a line is longer than that.
    m_lineBuffer.resize(limits.maxLineLength + 3);
}

void RegistryConnection::processInput()
{
    QTcpSocket *in = socket();
    while (!isClosing()) {
        if (m_state == State::Answering) {
            continueAnswer();
            if (m_state == State::Answering)
                return; // resumed by bytesWritten
        }
        if (in->bytesToWrite() > outputHighWater)
            return; // resumed by bytesWritten
        if (!in->canReadLine()) {
            // Garbage is refused as it comes, not only once a line end turns up.
            const QByteArray partial = in->peek(limits().maxLineLength + 2);
            if (partial.size() > limits().maxLineLength + 1) {
                reject(QStringLiteral("RegistryConnection::processInput()"),
                       QStringLiteral("line longer than %1 bytes").arg(limits().maxLineLength));
            } else if (!isPrintable(partial.constData(),
                                    partial.endsWith('\r') ? partial.size() - 1 : partial.size())) {
                reject(QStringLiteral("RegistryConnection::processInput()"),
                       QStringLiteral("bytes that are not text"));
            }
            return;
        }
        const qint64 read = in->readLine(m_lineBuffer.data(), m_lineBuffer.size());
        if (read <= 0)
            return;
        qsizetype size = read;
        const char *line = m_lineBuffer.constData();
        if (line[size - 1] != '\n') {
            reject(QStringLiteral("RegistryConnection::processInput()"),
                   QStringLiteral("line longer than %1 bytes").arg(limits().maxLineLength));
            return;
        }
        --size;
        if (size > 0 && line[size - 1] == '\r')
            --size;
        if (size > limits().maxLineLength) {
            reject(QStringLiteral("RegistryConnection::processInput()"),
                   QStringLiteral("line longer than %1 bytes").arg(limits().maxLineLength));
            return;
        }
        handleLine(line, size);
    }
}

void RegistryConnection::handleLine(const char *line, qsizetype size)
{
    const QString where = QStringLiteral("RegistryConnection::handleLine()");
    if (!isPrintable(line, size)) {
        reject(where, QStringLiteral("bytes that are not text"));
        return;
    }
    switch (m_state) {
    case State::AwaitingBegin:
        if (size == 0)
            return;
        if (!equals(line, size, "begin")) {
            reject(where, QStringLiteral("request does not start with \"begin\""));
            return;
        }
        m_state = State::Header;
        m_headerLines = 0;
        m_requestLines = 0;
        m_skippedLines = 0;
        m_digests.clear();
        return;
    case State::Header:
        // Token, installation digest, platform digest: anonymous, but well formed.
        if (!Md5Key::fromHex(line, size)) {
            reject(where, QStringLiteral("request line %1 is not 32 hexadecimal digits")
                              .arg(m_headerLines + 2));
            return;
        }
        if (++m_headerLines == 3)
            m_state = State::Digests;
        return;
    case State::Digests:
        if (equals(line, size, "end")) {
            m_state = State::Answering;
            answer();
            return;
        }
        if (++m_requestLines > limits().maxDigests) {
            reject(where,
                   QStringLiteral("no \"end\" within %1 digest lines").arg(limits().maxDigests));
            return;
        }
        if (const std::optional<Md5Key> key = Md5Key::fromHex(line, size)) {
            m_digests.append(reinterpret_cast<const char *>(key->bytes.data()), 16);
        } else if (size > 0) {
            ++m_skippedLines;
        }
        return;
    case State::Answering:
        return; // lines wait in the socket until the answer is out
    }
}

void RegistryConnection::answer()
{
    if (m_skippedLines > 0) {
        qWarning().noquote() << QStringLiteral("RegistryConnection::answer() %1: skipped %2 "
                                               "lines that are not digests")
                                    .arg(peer())
                                    .arg(m_skippedLines);
    }
    // The whole answer comes from the list in use now, even if a reload swaps
    // it while a long answer is still being written.
    m_answerList = m_service->hashList();
    m_answered = 0;
    m_headerSent = false;
    continueAnswer();
}

void RegistryConnection::continueAnswer()
{
    constexpr qsizetype recordsPerSlice = 16384;
    constexpr qsizetype prefetchDistance = 8;
    const qsizetype count = m_digests.size() / 16;
    const HashList &list = *m_answerList;
    const char *digests = m_digests.constData();
    Md5Key key;
    Md5Key ahead;
    QByteArray out;
    // Up to the high-water mark at once, so that a typical answer is one write;
    // beyond it, the rest follows as the client reads.
    while (!m_headerSent || (m_answered < count && socket()->bytesToWrite() <= outputHighWater)) {
        const qsizetype sliceEnd = qMin(count, m_answered + recordsPerSlice);
        out.clear();
        out.reserve((sliceEnd - m_answered) * 56 + 64);
        // The header goes in the same write as the first records: a small
        // segment of its own would wait for the client's delayed ACK (Nagle).
        if (!m_headerSent) {
            out.append(RegistryService::answerHeader());
            m_headerSent = true;
        }
        for (qsizetype i = m_answered; i < sliceEnd; ++i) {
            if (i + prefetchDistance < count) {
                memcpy(ahead.bytes.data(), digests + (i + prefetchDistance) * 16, 16);
                list.prefetch(ahead);
            }
            memcpy(key.bytes.data(), digests + i * 16, 16);
            key.appendHex(out);
            if (const HashListEntry *entry = list.find(key)) {
                out.append(' ');
                out.append(QByteArray::number(entry->lastSeen));
                out.append(' ');
                out.append(QByteArray::number(entry->detectionRate));
                out.append('\n');
            } else {
                out.append(" 0 NO_DATA\n");
            }
        }
        socket()->write(out);
        m_answered = sliceEnd;
    }
    if (m_answered < count)
        return; // resumed by bytesWritten
    m_answerList.reset();
    m_state = State::AwaitingBegin;
    m_digests.clear();
    m_digests.squeeze();
}

void RegistryConnection::peerClosed()
{
    if (m_state == State::Answering) {
        qWarning().noquote() << QStringLiteral("RegistryConnection::peerClosed() %1: closed before "
                                               "the whole answer was sent")
                                    .arg(peer());
    } else if (m_state != State::AwaitingBegin) {
        qWarning().noquote() << QStringLiteral("RegistryConnection::peerClosed() %1: closed in "
                                               "the middle of a request")
                                    .arg(peer());
    }
}
