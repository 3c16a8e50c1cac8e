#include "platform/longpath.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace {
// The folder a path's last piece is resolved from, and that piece.
struct Resolved
{
    UniqueFd folder; // invalid: the current folder (or none, for an absolute piece)
    QByteArray rest;
    int folderFd() const { return folder.isValid() ? folder.get() : AT_FDCWD; }
};

// Opens the folders of a long path piece by piece until what is left is shorter
// than PATH_MAX. False (errno set) when a folder on the way cannot be opened,
// or a single name is too long to be any file's.
bool resolvePieces(const QByteArray &path, Resolved *resolved)
{
    qsizetype start = 0;
    while (path.size() - start >= PATH_MAX) {
        // The longest piece that ends before a slash and fits in one call.
        const qsizetype cut = path.lastIndexOf('/', start + PATH_MAX - 1);
        if (cut <= start) {
            errno = ENAMETOOLONG;
            return false;
        }
        const QByteArray piece = path.mid(start, cut - start);
        UniqueFd next(
            ::openat(resolved->folderFd(), piece.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!next.isValid())
            return false;
        resolved->folder = std::move(next);
        start = cut + 1;
        while (start < path.size() && path.at(start) == '/')
            ++start;
    }
    resolved->rest = path.mid(start);
    if (resolved->rest.isEmpty())
        resolved->rest = "."; // the path named the folder itself ("a/b/")
    return true;
}
} // namespace

UniqueFd LongPath::open(const QByteArray &path, int flags)
{
    if (path.size() < PATH_MAX)
        return UniqueFd(::open(path.constData(), flags));
    Resolved resolved;
    if (!resolvePieces(path, &resolved))
        return UniqueFd();
    return UniqueFd(::openat(resolved.folderFd(), resolved.rest.constData(), flags));
}

bool LongPath::stat(const QByteArray &path, struct stat *status, bool followLinks)
{
    if (path.size() < PATH_MAX)
        return (followLinks ? ::stat(path.constData(), status)
                            : ::lstat(path.constData(), status)) == 0;
    Resolved resolved;
    if (!resolvePieces(path, &resolved))
        return false;
    return ::fstatat(resolved.folderFd(), resolved.rest.constData(), status,
                     followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

bool LongPath::statfs(const QByteArray &path, struct statfs *status)
{
    if (path.size() < PATH_MAX)
        return ::statfs(path.constData(), status) == 0;
    // O_PATH reaches the file without opening it: nothing of the file's own
    // open routine runs.
    const UniqueFd fd = open(path, O_PATH | O_CLOEXEC);
    return fd.isValid() && ::fstatfs(fd.get(), status) == 0;
}
