#pragma once

#include "platform/uniquefd.h"

#include <QString>
#include <QtGlobal>

// A regular file opened for reading. FIFOs, sockets and device files are
// refused before they are opened: opening or reading one can block forever,
// never end, or act on a device.
class RegularFile
{
public:
    // Opens path read-only; false (with error() set) when it is missing,
    // unreadable or not a regular file.
    bool open(const QString &path);
    void close() { m_fd.reset(); }
    bool isOpen() const { return m_fd.isValid(); }

    // Reads until max bytes are in buffer or the file ends; returns the count,
    // or -1 on a read error (error() tells which).
    qint64 read(char *buffer, qint64 max);
    // True once a read came back short at or past the size the file had when
    // it was opened: the end is reached without asking the system once more.
    bool atEnd() const { return m_atEnd; }

    // errno of the last failure; ENODEV stands for "not a regular file".
    int error() const { return m_error; }
    // The size when the file was opened; it may have changed since.
    qint64 size() const { return m_size; }

private:
    UniqueFd m_fd;
    int m_error = 0;
    qint64 m_size = 0;
    qint64 m_offset = 0;
    bool m_atEnd = false;
};
