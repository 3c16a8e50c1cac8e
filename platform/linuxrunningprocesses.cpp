#include "platform/linuxrunningprocesses.h"

#include "platform/systemerror.h"
#include "platform/uniquefd.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A stat line is a few hundred bytes; a longer one is read on.
constexpr size_t StatBufferSize = 1024;

struct DirCloser
{
    void operator()(DIR *dir) const { ::closedir(dir); }
};

// Reads the whole stat text of an open stat file from its start. 0 or errno;
// an empty text is left for the parser to refuse (a process that vanished).
int readStatText(int fd, QByteArray *text)
{
    char buffer[StatBufferSize];
    text->clear();
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, off_t(text->size()));
        if (n == 0)
            return 0;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        text->append(buffer, n);
        if (size_t(n) < sizeof buffer)
            return 0; // the kernel hands the line over in one piece
    }
}

int openStat(int dirFd, const char *path, UniqueFd *fd)
{
    fd->reset(::openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    return fd->isValid() ? 0 : errno;
}

size_t descriptorsToHold()
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 256;
    return size_t(limit.rlim_cur / 4);
}

bool isPidName(const char *name, quint32 *pid)
{
    quint64 value = 0;
    if (!*name)
        return false;
    for (const char *c = name; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        value = value * 10 + quint64(*c - '0');
        if (value > 0xffffffffu)
            return false;
    }
    *pid = quint32(value);
    return true;
}

// A process that cannot be read because it ended or is hidden from this user
// is simply not there; anything else means the listing cannot be trusted.
bool isAbsent(int error)
{
    return RunningProcesses::hasEnded(error) || RunningProcesses::isDenied(error);
}
} // namespace

LinuxRunningProcesses::LinuxRunningProcesses(const QString &procRoot)
    : m_root(QFile::encodeName(procRoot)), m_maxHeld(descriptorsToHold())
{
}

LinuxRunningProcesses::~LinuxRunningProcesses() = default;

int LinuxRunningProcesses::heldStatFiles() const
{
    const QMutexLocker locker(&m_mutex);
    return int(m_statFiles.size());
}

QByteArray LinuxRunningProcesses::entryPath(quint32 pid, const char *entry) const
{
    return m_root + '/' + QByteArray::number(pid) + '/' + entry;
}

bool LinuxRunningProcesses::list(QList<ProcStat> *processes) const
{
    processes->clear();
    const QMutexLocker locker(&m_mutex);
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(m_root.constData()));
    if (!dir) {
        logSystemError(QStringLiteral("LinuxRunningProcesses::list() opendir( %1 )")
                           .arg(QFile::decodeName(m_root)));
        return false;
    }
    const int dirFd = ::dirfd(dir.get());
    std::unordered_map<quint32, UniqueFd> held;
    held.reserve(m_statFiles.size() + 64);
    bool holding = true;
    QByteArray text;
    char path[32];
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir.get());
        if (!entry) {
            if (errno != 0) {
                logSystemError(QStringLiteral("LinuxRunningProcesses::list() readdir( %1 )")
                                   .arg(QFile::decodeName(m_root)));
                return false;
            }
            break;
        }
        quint32 pid = 0;
        if (!isPidName(entry->d_name, &pid))
            continue;
        std::snprintf(path, sizeof path, "%u/stat", pid);
        UniqueFd fd;
        int error = ESRCH;
        const auto kept = m_statFiles.find(pid);
        if (kept != m_statFiles.end()) {
            fd = std::move(kept->second);
            error = readStatText(fd.get(), &text);
            // The process it was opened for has ended: the pid may be another's now.
            if (error != 0 || text.isEmpty())
                error = ESRCH;
        }
        if (error != 0) {
            error = openStat(dirFd, path, &fd);
            if ((error == EMFILE || error == ENFILE) && (!m_statFiles.empty() || !held.empty())) {
                // The kept files go first, before a snapshot fails for them;
                // this snapshot keeps none.
                m_statFiles.clear();
                held.clear();
                holding = false;
                error = openStat(dirFd, path, &fd);
            }
            if (error == 0)
                error = readStatText(fd.get(), &text);
        }
        if (error != 0) {
            if (isAbsent(error))
                continue;
            // Out of descriptors or memory: a listing that left processes out
            // would make them look ended.
            logSystemError(QStringLiteral("LinuxRunningProcesses::list() read %1/%2")
                               .arg(QFile::decodeName(m_root), QString::fromLatin1(path)),
                           error);
            m_statFiles.clear();
            return false;
        }
        ProcStat process;
        if (!ProcStat::parse(text, &process))
            continue;
        processes->append(std::move(process));
        if (holding && held.size() < m_maxHeld)
            held.emplace(pid, std::move(fd));
    }
    // Files of processes that are gone close here.
    m_statFiles.swap(held);
    if (processes->isEmpty()) {
        qWarning().noquote() << QStringLiteral(
                                    "LinuxRunningProcesses::list() found no process in %1")
                                    .arg(QFile::decodeName(m_root));
        return false;
    }
    return true;
}

int LinuxRunningProcesses::stat(quint32 pid, ProcStat *stat) const
{
    UniqueFd fd;
    int error = openStat(AT_FDCWD, entryPath(pid, "stat").constData(), &fd);
    QByteArray text;
    if (error == 0)
        error = readStatText(fd.get(), &text);
    if (error != 0)
        return error;
    if (!ProcStat::parse(text, stat) || stat->pid != pid)
        return ESRCH;
    return 0;
}

int LinuxRunningProcesses::executablePath(quint32 pid, QByteArray *path) const
{
    const QByteArray link = entryPath(pid, "exe");
    QByteArray buffer(4096, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::readlink(link.constData(), buffer.data(), size_t(buffer.size()));
        if (n < 0)
            return errno;
        if (n < buffer.size()) {
            buffer.truncate(n);
            *path = buffer;
            return 0;
        }
        // The text may have been cut short: ask again with more room.
        buffer.resize(buffer.size() * 2);
    }
}

int LinuxRunningProcesses::imageIdentity(quint32 pid, ImageIdentity *identity) const
{
    struct stat st;
    if (::stat(entryPath(pid, "exe").constData(), &st) != 0)
        return errno;
    identity->device = quint64(st.st_dev);
    identity->inode = quint64(st.st_ino);
    identity->size = qint64(st.st_size);
    identity->modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    identity->changedNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return 0;
}

QString LinuxRunningProcesses::imagePath(quint32 pid) const
{
    return QFile::decodeName(entryPath(pid, "exe"));
}
