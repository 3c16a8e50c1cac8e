#include "server/unixsignalwatcher.h"

#include "platform/systemerror.h"

#include <QDebug>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int watchedSignals[] = {SIGHUP, SIGINT, SIGTERM};

std::atomic<int> g_writeFd{-1};
struct sigaction g_previous[sizeof watchedSignals / sizeof watchedSignals[0]];

void handleSignal(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = g_writeFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds a wake-up; losing this byte loses nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

UnixSignalWatcher::UnixSignalWatcher(QObject *parent) : QObject(parent)
{
    if (g_writeFd.load() >= 0) {
        qCritical("UnixSignalWatcher::UnixSignalWatcher() another watcher is active");
        return;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        logSystemError(QStringLiteral("UnixSignalWatcher::UnixSignalWatcher() pipe2"));
        return;
    }
    m_readFd = fds[0];
    m_writeFd = fds[1];
    g_writeFd.store(m_writeFd);

    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignalWatcher::handleActivated);

    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    m_valid = true;
    for (size_t i = 0; i < sizeof watchedSignals / sizeof watchedSignals[0]; ++i) {
        if (::sigaction(watchedSignals[i], &action, &g_previous[i]) != 0) {
            logSystemError(QStringLiteral("UnixSignalWatcher::UnixSignalWatcher() sigaction"));
            m_valid = false;
        }
    }
}

UnixSignalWatcher::~UnixSignalWatcher()
{
    if (m_readFd < 0)
        return;
    for (size_t i = 0; i < sizeof watchedSignals / sizeof watchedSignals[0]; ++i)
        ::sigaction(watchedSignals[i], &g_previous[i], nullptr);
    g_writeFd.store(-1);
    delete m_notifier;
    ::close(m_writeFd);
    ::close(m_readFd);
}

void UnixSignalWatcher::handleActivated()
{
    unsigned char bytes[64];
    for (;;) {
        const ssize_t count = ::read(m_readFd, bytes, sizeof bytes);
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i) {
            if (bytes[i] == SIGHUP)
                emit hangupReceived();
            else
                emit terminationRequested(bytes[i]);
        }
    }
}
