#pragma once

#include <QString>
#include <QtGlobal>

// What the file system says about a path, from its metadata alone (the file is
// never opened). Symbolic links are followed.
class FileStatus
{
public:
    enum Kind { Missing, Regular, Directory, Fifo, Socket, CharacterDevice, BlockDevice, Other };

    static FileStatus of(const QString &path);
    // The same for a path already in the file system's own bytes.
    static FileStatus ofNative(const char *path);
    // Kind from a st_mode value.
    static Kind kindFromMode(quint32 mode);

    Kind kind() const { return m_kind; }
    bool exists() const { return m_kind != Missing; }
    bool isRegular() const { return m_kind == Regular; }
    bool isDirectory() const { return m_kind == Directory; }
    qint64 size() const { return m_size; }
    // Any of the owner, group or other execute bits.
    bool isExecutable() const { return m_executable; }

private:
    Kind m_kind = Missing;
    qint64 m_size = 0;
    bool m_executable = false;
};
