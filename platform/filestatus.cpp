#include "platform/filestatus.h"

#include <QFile>

#include <sys/stat.h>

FileStatus FileStatus::of(const QString &path)
{
    if (path.isEmpty())
        return {};
    return ofNative(QFile::encodeName(path).constData());
}

FileStatus FileStatus::ofNative(const char *path)
{
    FileStatus status;
    struct stat st;
    if (::stat(path, &st) != 0)
        return status; // a missing or unreachable path is simply not there for a scan
    status.m_kind = kindFromMode(st.st_mode);
    status.m_size = st.st_size;
    status.m_executable = (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
    return status;
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
