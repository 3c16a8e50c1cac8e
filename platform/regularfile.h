#pragma once

#include "platform/uniquefd.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class PseudoDevices;

// A regular file opened for reading. FIFOs, sockets and device files are
// refused before they are opened: opening or reading one can block forever,
// never end, or act on a device. Paths are in the lossless form of FileName,
// of any length.
class RegularFile
{
public:
    enum Failure {
        NoFailure,
        SystemError,       // a system call failed; error() holds its errno
        NotRegularFile,    // a folder, FIFO, socket or device file
        OnPseudoFileSystem // refused by openScanned()
    };

    // Opens path read-only; false (with failure() and error() set) when it is
    // missing, unreadable or not a regular file.
    bool open(const QString &path);
    // Like open(), but a file of a pseudo file system (proc, sysfs, ...) is not
    // opened: its content is a view of kernel state, and reading it may never
    // end or consume what it shows (/proc/kmsg). The file system is known from
    // the path's metadata before anything is opened.
    bool openScanned(const QString &path, PseudoDevices &pseudoDevices);
    void close() { m_fd.reset(); }
    bool isOpen() const { return m_fd.isValid(); }

    // Reads until max bytes are in buffer or the file ends; returns the count,
    // or -1 on a read error (error() tells which). A file that had a size when
    // it was opened ends there: what a writer appends since is not read. A file
    // of size 0 (those of /proc and /sys claim it) is read until read() says
    // it ends.
    qint64 read(char *buffer, qint64 max);
    // True once the size seen at opening is read, or a read found the end.
    bool atEnd() const { return m_atEnd; }

    Failure failure() const { return m_failure; }
    // errno of the last failure; ENODEV stands for "not a regular file".
    int error() const { return m_error; }
    // Why the last open or read failed, in the system's own words where it
    // has some ("Too many levels of symbolic links", "Permission denied").
    QString errorString() const;
    // The size when the file was opened; it may have changed since.
    qint64 size() const { return m_size; }

    // True when the open file's size or modification time is no longer what
    // it was when it was opened: what was read may mix old and new content.
    bool changedSinceOpened() const;

private:
    bool open(const QString &path, PseudoDevices *pseudoDevices);
    bool fail(Failure failure, int error);

    UniqueFd m_fd;
    Failure m_failure = NoFailure;
    int m_error = 0;
    QByteArray m_pseudoType;
    qint64 m_size = 0;
    qint64 m_offset = 0;
    qint64 m_modifiedSecs = 0;
    qint64 m_modifiedNsecs = 0;
    bool m_atEnd = false;
};
