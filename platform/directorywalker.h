#pragma once

#include <QSet>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

// Walks a folder tree and reports every regular file in it, hidden ones
// included. It never follows a symbolic link below the root, never enters a
// pseudo file system (proc, sysfs, devtmpfs, ...), enters each folder at most
// once (bind mounts cannot make it loop) and never opens anything but folders:
// FIFOs, sockets and device files are passed over by their type.
class DirectoryWalker
{
public:
    enum Result { Completed, Stopped, NotEntered };

    using FileHandler = std::function<void(const QString &path)>;
    using StopCheck = std::function<bool()>;

    // Pseudo file systems are recognised by their statfs() type and by the
    // mount table of this process, read at the start of each walk.
    DirectoryWalker() = default;
    // Test seam: the devices (st_dev) to treat as pseudo file systems instead
    // of those of the live mount table.
    explicit DirectoryWalker(const QSet<quint64> &pseudoDevices);

    // Calls onFile with the path of each regular file under root (root's own
    // spelling, then "/name" parts) and stopRequested before each folder entry;
    // once it answers true the walk ends with Stopped. NotEntered: root is not a
    // folder that can be opened, or lies on a pseudo file system.
    Result walk(const QString &root, const FileHandler &onFile, const StopCheck &stopRequested);

private:
    std::optional<QSet<quint64>> m_pseudoDevices;
};
