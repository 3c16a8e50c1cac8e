#include "platform/socketowners.h"

#include "platform/uniquefd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {
struct DirCloser
{
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool isNumber(const char *name, quint32 *value)
{
    quint64 result = 0;
    if (!*name)
        return false;
    for (const char *c = name; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        result = result * 10 + quint64(*c - '0');
        if (result > 0xffffffffu)
            return false;
    }
    *value = quint32(result);
    return true;
}

Dir openDirAt(int dirFd, const char *path)
{
    const int fd = ::openat(dirFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Dir();
    DIR *dir = ::fdopendir(fd);
    if (!dir)
        ::close(fd);
    return Dir(dir);
}
} // namespace

SocketOwners::SocketOwners(const QByteArray &procRoot) : m_root(procRoot) {}

bool SocketOwners::socketInode(const char *link, qsizetype length, quint64 *inode)
{
    static const char prefix[] = "socket:[";
    const qsizetype prefixLength = qsizetype(sizeof prefix - 1);
    if (length <= prefixLength + 1 || std::memcmp(link, prefix, size_t(prefixLength)) != 0 ||
        link[length - 1] != ']')
        return false;
    quint64 value = 0;
    for (qsizetype i = prefixLength; i < length - 1; ++i) {
        const char c = link[i];
        if (c < '0' || c > '9')
            return false;
        const quint64 digit = quint64(c - '0');
        if (value > (~quint64(0) - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    *inode = value;
    return true;
}

void SocketOwners::update(const QSet<quint64> &inodes, bool forgetOthers)
{
    for (auto it = m_owners.begin(); forgetOthers && it != m_owners.end();) {
        if (inodes.contains(it.key()))
            ++it;
        else
            it = m_owners.erase(it);
    }
    QSet<quint64> wanted;
    for (const quint64 inode : inodes) {
        if (inode != 0 && !m_owners.contains(inode))
            wanted.insert(inode);
    }
    if (!wanted.isEmpty())
        sweep(std::move(wanted));
}

void SocketOwners::sweep(QSet<quint64> wanted)
{
    ++m_sweeps;
    // Not found means no readable process holds it: asked again, it would
    // cost another pass for the same answer.
    for (const quint64 inode : std::as_const(wanted))
        m_owners.insert(inode, 0);

    const Dir proc(::opendir(m_root.constData()));
    if (!proc)
        return;
    const int procFd = ::dirfd(proc.get());
    char path[48];
    char link[64];
    while (!wanted.isEmpty()) {
        const dirent *entry = ::readdir(proc.get());
        if (!entry)
            break;
        quint32 pid = 0;
        if (!isNumber(entry->d_name, &pid))
            continue;
        std::snprintf(path, sizeof path, "%u/fd", pid);
        // Another user's process (EACCES) or one that ended (ENOENT) holds
        // nothing this program can see.
        const Dir fds = openDirAt(procFd, path);
        if (!fds)
            continue;
        const int fdsFd = ::dirfd(fds.get());
        while (const dirent *fd = ::readdir(fds.get())) {
            if (fd->d_name[0] == '.')
                continue;
            const ssize_t n = ::readlinkat(fdsFd, fd->d_name, link, sizeof link);
            quint64 inode = 0;
            if (n <= 0 || !socketInode(link, qsizetype(n), &inode))
                continue;
            if (wanted.remove(inode))
                m_owners.insert(inode, pid);
        }
    }
}
