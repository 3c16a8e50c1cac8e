#include "platform/stopsignalwatcher.h"

#include "platform/systemerror.h"

#include <QDebug>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int watchedSignals[] = {SIGINT, SIGTERM};
constexpr size_t watchedCount = sizeof watchedSignals / sizeof watchedSignals[0];

std::atomic<int> g_writeFd{-1};
struct sigaction g_previous[watchedCount];

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

StopSignalWatcher::StopSignalWatcher(QObject *parent) : QObject(parent)
{
    int expected = -1;
    if (!g_writeFd.compare_exchange_strong(expected, -2)) {
        qCritical("StopSignalWatcher::StopSignalWatcher() another watcher is active");
        return;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        logSystemError(QStringLiteral("StopSignalWatcher::StopSignalWatcher() pipe2"));
        g_writeFd.store(-1);
        return;
    }
    m_readFd.reset(fds[0]);
    m_writeFd.reset(fds[1]);
    g_writeFd.store(m_writeFd.get());
    m_installed = true;

    m_notifier = new QSocketNotifier(m_readFd.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignalWatcher::handleActivated);

    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    // One delivery each: the default action is back for the next one.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    m_valid = true;
    for (size_t i = 0; i < watchedCount; ++i) {
        if (::sigaction(watchedSignals[i], nullptr, &g_previous[i]) != 0) {
            logSystemError(QStringLiteral("StopSignalWatcher::StopSignalWatcher() sigaction"));
            m_valid = false;
            continue;
        }
        // A signal that the parent ignores stays ignored: a scan started in the
        // background by a shell script must not end with the terminal's Ctrl+C.
        if (g_previous[i].sa_handler == SIG_IGN)
            continue;
        if (::sigaction(watchedSignals[i], &action, nullptr) != 0) {
            logSystemError(QStringLiteral("StopSignalWatcher::StopSignalWatcher() sigaction"));
            m_valid = false;
        }
    }
}

StopSignalWatcher::~StopSignalWatcher()
{
    if (!m_installed)
        return;
    for (size_t i = 0; i < watchedCount; ++i)
        ::sigaction(watchedSignals[i], &g_previous[i], nullptr);
    g_writeFd.store(-1);
    delete m_notifier;
}

void StopSignalWatcher::handleActivated()
{
    unsigned char bytes[64];
    for (;;) {
        const ssize_t count = ::read(m_readFd.get(), bytes, sizeof bytes);
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i)
            Q_EMIT stopRequested(bytes[i]);
    }
}
