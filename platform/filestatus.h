#pragma once

#include <QString>
#include <QtGlobal>

// What the file system says about a path, from its metadata alone (the file is
// never opened). Symbolic links are followed.
class FileStatus
{
public:
    enum Kind { Missing, Regular, Directory, Fifo, Socket, CharacterDevice, BlockDevice, Other };

    // path in the lossless form of FileName, of any length.
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

    // Why the path could not be examined: errno of the failed stat() (ENOENT,
    // ELOOP, EACCES on a folder on the way, ...); 0 when it exists.
    int error() const { return m_error; }
    // The system's own words for error(); empty when it exists.
    QString errorString() const;

private:
    static FileStatus ofBytes(const QByteArray &path);

    Kind m_kind = Missing;
    qint64 m_size = 0;
    bool m_executable = false;
    int m_error = 0;
};
