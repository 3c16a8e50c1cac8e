#include "server/connectionsocket.h"

#include "platform/clock.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The kernel's view of the connection once read() has reported its end: an
// orderly close leaves it waiting for our close (CLOSE_WAIT, or LAST_ACK and
// the like once we have ended our side too); a reset leaves it CLOSED.
bool wasReset(int fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return true;
    return info.tcpi_state == TCP_CLOSE;
}

} // namespace

ConnectionSocket::ConnectionSocket(qintptr descriptor, QObject *parent)
    : QObject(parent), m_fd(static_cast<int>(descriptor))
{
    const int fd = m_fd.get();
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        fail(errno);
        return;
    }
    // Answers are written in large pieces; a small last piece must not wait
    // for the peer's delayed acknowledgement.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0) {
        m_peerAddress = QHostAddress(reinterpret_cast<const sockaddr *>(&address));
        if (address.ss_family == AF_INET6)
            m_peerPort = ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port);
        else if (address.ss_family == AF_INET)
            m_peerPort = ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    }

    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &ConnectionSocket::handleReadable);
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &ConnectionSocket::handleWritable);
}

ConnectionSocket::~ConnectionSocket()
{
    // The notifiers must let go of the descriptor before it is closed.
    delete m_readNotifier;
    delete m_writeNotifier;
}

void ConnectionSocket::consume(qsizetype size)
{
    m_inStart = qMin(m_in.size(), m_inStart + qMax<qsizetype>(0, size));
    if (m_inStart == m_in.size()) {
        m_in.resize(0);
        m_inStart = 0;
    }
    if (m_readNotifier && m_input == Input::Open && !m_finishing &&
        m_in.size() - m_inStart < m_readBufferSize)
        m_readNotifier->setEnabled(true);
}

QByteArray ConnectionSocket::takeAll()
{
    QByteArray data = m_inStart == 0 ? std::move(m_in) : m_in.mid(m_inStart);
    m_in = QByteArray();
    m_inStart = 0;
    consume(0);
    return data;
}

void ConnectionSocket::setReadBufferSize(qsizetype size)
{
    m_readBufferSize = qMax<qsizetype>(1, size);
    consume(0);
}

void ConnectionSocket::handleReadable()
{
    if (m_finishing)
        discardInput();
    else
        readInput();
}

void ConnectionSocket::readInput()
{
    // Consumed bytes at the front are dropped before the buffer grows.
    if (m_inStart > 0) {
        m_in.remove(0, m_inStart);
        m_inStart = 0;
    }
    const qsizetype room = m_readBufferSize - m_in.size();
    if (room <= 0) {
        m_readNotifier->setEnabled(false); // consume() wakes it again
        return;
    }
    const qsizetype old = m_in.size();
    m_in.resize(old + room);
    const ssize_t count = ::read(m_fd.get(), m_in.data() + old, static_cast<size_t>(room));
    m_in.resize(old + qMax<ssize_t>(0, count));
    if (count > 0) {
        m_bytesReceived += count;
        emit readyRead();
    } else if (count == 0) {
        endOfInput();
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        fail(errno);
    }
}

void ConnectionSocket::discardInput()
{
    char scratch[16384];
    const ssize_t count = ::read(m_fd.get(), scratch, sizeof scratch);
    if (count > 0) {
        m_bytesReceived += count;
    } else if (count == 0) {
        m_input = wasReset(m_fd.get()) ? Input::Reset : Input::Finished;
        m_readNotifier->setEnabled(false);
        if (m_outputShut || m_input == Input::Reset)
            closeDescriptor();
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        fail(errno);
    }
}

void ConnectionSocket::endOfInput()
{
    m_readNotifier->setEnabled(false);
    if (wasReset(m_fd.get())) {
        // The reset's own error was taken by an earlier call (a write, most
        // likely); the kernel state still tells.
        fail(ECONNRESET);
        return;
    }
    m_input = Input::Finished;
    emit inputFinished();
}

void ConnectionSocket::write(const QByteArray &data)
{
    if (!m_fd.isValid() || m_finishing || data.isEmpty())
        return;
    m_out.append(data);
    m_outSize += data.size();
    if (m_writeNotifier->isEnabled())
        return; // the kernel is full; the notifier goes on when it has room
    sendQueued();
    if (m_fd.isValid() && m_outSize > 0)
        m_writeNotifier->setEnabled(true);
}

qint64 ConnectionSocket::sendQueued()
{
    qint64 sent = 0;
    while (!m_out.isEmpty()) {
        const QByteArray &front = m_out.first();
        const qsizetype left = front.size() - m_outFrontSent;
        const ssize_t count = ::send(m_fd.get(), front.constData() + m_outFrontSent,
                                     static_cast<size_t>(left), MSG_NOSIGNAL);
        if (count < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                // Reported from the event loop: the caller may be in the
                // middle of writing an answer.
                const int error = errno;
                m_out.clear();
                m_outSize = 0;
                m_writeNotifier->setEnabled(false);
                QMetaObject::invokeMethod(
                    this, [this, error] { fail(error); }, Qt::QueuedConnection);
            }
            break;
        }
        sent += count;
        m_outSize -= count;
        if (count < left) {
            m_outFrontSent += count;
            break;
        }
        m_out.removeFirst();
        m_outFrontSent = 0;
    }
    m_bytesSent += sent;
    return sent;
}

void ConnectionSocket::handleWritable()
{
    const qint64 sent = sendQueued();
    if (!m_fd.isValid())
        return;
    if (m_outSize == 0) {
        m_writeNotifier->setEnabled(false);
        if (m_finishing)
            shutdownOutput();
    }
    if (sent > 0)
        emit bytesWritten(sent);
}

void ConnectionSocket::finish()
{
    if (!m_fd.isValid() || m_finishing)
        return;
    m_finishing = true;
    m_in = QByteArray();
    m_inStart = 0;
    if (m_input == Input::Open)
        m_readNotifier->setEnabled(true); // to see the peer's close, and drop what comes
    if (m_outSize == 0)
        shutdownOutput();
}

void ConnectionSocket::shutdownOutput()
{
    if (m_outputShut || !m_fd.isValid())
        return;
    m_outputShut = true;
    ::shutdown(m_fd.get(), SHUT_WR);
    if (m_input != Input::Open) {
        // Nothing more can come; closed() is still emitted from the event loop.
        QMetaObject::invokeMethod(this, &ConnectionSocket::closeDescriptor, Qt::QueuedConnection);
        return;
    }
    // Closing while the peer still sends would reset the connection and could
    // destroy the end of the answer in flight; a peer that does not close soon
    // after our end is closed anyway.
    m_lingerTimer = new QTimer(this);
    m_lingerTimer->setSingleShot(true);
    connect(m_lingerTimer, &QTimer::timeout, this, &ConnectionSocket::closeDescriptor);
    m_lingerTimer->start(Clock::wait(lingerTimeoutMs));
}

void ConnectionSocket::abort()
{
    closeDescriptor();
}

void ConnectionSocket::fail(int error)
{
    m_input = Input::Reset;
    m_errorString = qt_error_string(error);
    closeDescriptor();
}

void ConnectionSocket::closeDescriptor()
{
    if (!m_fd.isValid())
        return;
    // Disabled notifiers are off the event dispatcher; they are deleted later
    // because this may run inside one of their own signals.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    if (m_lingerTimer)
        m_lingerTimer->stop();
    m_fd.reset();
    m_out.clear();
    m_outSize = 0;
    m_outFrontSent = 0;
    m_in = QByteArray();
    m_inStart = 0;
    QMetaObject::invokeMethod(this, &ConnectionSocket::closed, Qt::QueuedConnection);
}
