#include "platform/elevation.h"

#include "platform/systemerror.h"

#include <QDebug>
#include <QFile>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {
// Set in the elevated instance's environment by arguments(): the instance that
// started it waits for the started line.
const char AnnounceVariable[] = "WINORVEX_ANNOUNCE_START";
// pkexec's exit statuses when no authorisation was obtained.
constexpr int PkexecDismissed = 126;
constexpr int PkexecNotAuthorized = 127;
// How often the end of a pkexec that closed its output is looked for; it is
// already exiting, so this is a handful of turns at most.
constexpr int ExitPollMs = 10;
} // namespace

Elevation::Elevation(QObject *parent) : QObject(parent)
{
    m_exitPoll.setInterval(ExitPollMs);
    connect(&m_exitPoll, &QTimer::timeout, this, &Elevation::collectExit);
}

Elevation::~Elevation()
{
    // The notifier must go before the descriptor it watches is closed. A pkexec
    // still asking for a password is left to the user; it runs as root, so it
    // could not be stopped from here anyway.
    delete m_notifier;
}

QByteArray Elevation::startedLine()
{
    return QByteArrayLiteral("WinOrvex started with administrator rights");
}

QStringList Elevation::arguments(const QString &executable, const QProcessEnvironment &environment)
{
    // pkexec clears the environment, so the display variables travel through env(1).
    QStringList arguments{QStringLiteral("env")};
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "XDG_RUNTIME_DIR"}) {
        const QString key = QString::fromLatin1(name);
        if (environment.contains(key))
            arguments << key + QLatin1Char('=') + environment.value(key);
    }
    arguments << QString::fromLatin1(AnnounceVariable) + QStringLiteral("=1") << executable;
    return arguments;
}

bool Elevation::start(const QString &executable)
{
    // Looked up first: a search that fails on a folder it may not enter reports
    // "permission denied" where the truth is that pkexec is missing.
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        m_errorString = tr("pkexec is not installed");
        return false;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        m_errorString = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);

    // pkexec closes every descriptor above 2 before it runs the program, so the
    // channel is the child's standard output. Its input is nothing.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);

    QList<QByteArray> encoded{QByteArrayLiteral("pkexec")};
    for (const QString &argument : arguments(executable, QProcessEnvironment::systemEnvironment()))
        encoded << QFile::encodeName(argument);
    std::vector<char *> argv;
    for (QByteArray &argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, QFile::encodeName(pkexec).constData(), &actions, nullptr,
                                    argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        m_errorString =
            QStringLiteral("%1: %2").arg(pkexec, QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    m_pid = pid;
    writeEnd.reset(); // the child's copy is the only writer now

    ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);
    m_channel = std::move(readEnd);
    m_notifier = new QSocketNotifier(m_channel.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Elevation::readChannel);
    return true;
}

void Elevation::readChannel()
{
    char buffer[256];
    bool closed = false;
    for (;;) {
        const ssize_t got = ::read(m_channel.get(), buffer, sizeof buffer);
        if (got > 0) {
            m_received.append(buffer, got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        closed = got == 0 || errno != EAGAIN;
        break;
    }
    // The line counts even when pkexec's end came with it: the instance ran.
    if (m_received.contains(startedLine() + '\n')) {
        m_notifier->setEnabled(false);
        Q_EMIT started();
        return;
    }
    if (!closed)
        return;
    // Nothing more can come: pkexec, or what it started, is ending.
    m_notifier->setEnabled(false);
    collectExit();
}

void Elevation::collectExit()
{
    int status = 0;
    const pid_t reaped = ::waitpid(pid_t(m_pid), &status, WNOHANG);
    if (reaped == 0) {
        m_exitPoll.start();
        return;
    }
    m_exitPoll.stop();
    if (reaped < 0) {
        const int error = errno;
        logSystemError(QStringLiteral("Elevation::collectExit() waitpid"), error);
        Q_EMIT failed(QString::fromLocal8Bit(std::strerror(error)));
        return;
    }
    if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        if (code == PkexecDismissed || code == PkexecNotAuthorized)
            Q_EMIT refused(code);
        else
            Q_EMIT failed(tr("exit status %1").arg(code));
        return;
    }
    Q_EMIT failed(tr("ended by signal %1").arg(WTERMSIG(status)));
}

void Elevation::announceStarted()
{
    if (qgetenv(AnnounceVariable) != "1")
        return;
    // The programs this instance starts are not the one that was waited for.
    qunsetenv(AnnounceVariable);

    // The instance that waited may be gone already; that must not end this one.
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    const QByteArray line = startedLine() + '\n';
    if (::write(STDOUT_FILENO, line.constData(), size_t(line.size())) != line.size())
        logSystemError(QStringLiteral("Elevation::announceStarted() write"));
    ::sigaction(SIGPIPE, &previous, nullptr);

    // The waiting instance closes its end once it has read the line: later
    // output must go nowhere rather than into a broken pipe.
    const UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!null.isValid() || ::dup2(null.get(), STDOUT_FILENO) < 0)
        logSystemError(QStringLiteral("Elevation::announceStarted() /dev/null"));
}
