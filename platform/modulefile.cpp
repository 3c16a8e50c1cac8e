#include "platform/modulefile.h"

#include "platform/longpath.h"
#include "platform/systemerror.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int OpenFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// 0 when fd is a regular file that is the mapped one; the device must match
// too when sameDevice is asked (a path of this program's own view may lead to
// another file system with the same inode numbers).
int confirm(const UniqueFd &fd, const MappedFile &mapping, bool sameDevice)
{
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return ModuleFile::Replaced;
    if (quint64(st.st_ino) != mapping.inode)
        return ModuleFile::Replaced;
    if (sameDevice && quint64(st.st_dev) != mapping.deviceNumber())
        return ModuleFile::Replaced;
    return 0;
}

int openPath(const QByteArray &path, const MappedFile &mapping, bool sameDevice, UniqueFd *fd)
{
    UniqueFd opened = LongPath::open(path, OpenFlags);
    if (!opened.isValid())
        return errno;
    const int error = confirm(opened, mapping, sameDevice);
    if (error == 0) {
        // Only O_NONBLOCK was set among the flags F_SETFL changes.
        ::fcntl(opened.get(), F_SETFL, 0);
        *fd = std::move(opened);
    }
    return error;
}

bool processExists(quint32 pid, const QByteArray &procRoot)
{
    struct stat st;
    return ::stat((procRoot + '/' + QByteArray::number(pid)).constData(), &st) == 0;
}
} // namespace

int ModuleFile::open(quint32 pid, const MappedFile &mapping, UniqueFd *fd,
                     const QByteArray &procRoot)
{
    fd->reset();
    const QByteArray base = procRoot + '/' + QByteArray::number(pid);
    char range[48];
    std::snprintf(range, sizeof range, "/map_files/%llx-%llx",
                  static_cast<unsigned long long>(mapping.start),
                  static_cast<unsigned long long>(mapping.end));
    int error = openPath(base + range, mapping, false, fd);
    if (error == 0)
        return 0;
    if (error != EPERM && error != EACCES) {
        // The mapping has gone: unloaded, or the process ended.
        if (error == ENOENT && !processExists(pid, procRoot))
            return ESRCH;
        if (error == ENOENT || error == Replaced)
            return ENOENT;
    }

    error = openPath(base + "/root" + mapping.path, mapping, false, fd);
    if (error == 0)
        return 0;
    if (error == EACCES || error == EPERM) {
        if (!processExists(pid, procRoot))
            return ESRCH;
        return error;
    }
    if (!processExists(pid, procRoot))
        return ESRCH;
    const int ownError = openPath(mapping.path, mapping, true, fd);
    if (ownError == 0)
        return 0;
    // No name leads to it: removed, replaced, or a name that reads " (deleted)".
    if (error == ENOENT || error == Replaced || mapping.isMarkedDeleted())
        return Replaced;
    return error;
}

QString ModuleFile::errorText(int error)
{
    if (error == Replaced)
        return QCoreApplication::translate("ModuleFile",
                                           "The mapped file was removed or replaced on disk");
    return systemErrorText(error);
}
