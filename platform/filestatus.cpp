#include "platform/filestatus.h"

#include "platform/filename.h"
#include "platform/longpath.h"
#include "platform/systemerror.h"

#include <cerrno>
#include <sys/stat.h>

FileStatus FileStatus::of(const QString &path)
{
    if (path.isEmpty()) {
        FileStatus status;
        status.m_error = ENOENT;
        return status;
    }
    return ofBytes(FileName::toBytes(path));
}

FileStatus FileStatus::ofNative(const char *path)
{
    return ofBytes(QByteArray(path));
}

FileStatus FileStatus::ofBytes(const QByteArray &path)
{
    FileStatus status;
    struct stat st;
    if (!LongPath::stat(path, &st)) {
        // Missing or unreachable: not there for a scan, but the reason is kept.
        status.m_error = errno;
        return status;
    }
    status.m_kind = kindFromMode(st.st_mode);
    status.m_size = st.st_size;
    status.m_executable = (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
    return status;
}

QString FileStatus::errorString() const
{
    return m_error == 0 ? QString() : systemErrorText(m_error);
}

FileStatus::Kind FileStatus::kindFromMode(quint32 mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return Regular;
    case S_IFDIR:
        return Directory;
    case S_IFIFO:
        return Fifo;
    case S_IFSOCK:
        return Socket;
    case S_IFCHR:
        return CharacterDevice;
    case S_IFBLK:
        return BlockDevice;
    default:
        return Other;
    }
}
