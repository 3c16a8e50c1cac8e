#pragma once

#include <QByteArray>
#include <QHash>
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
//
// Folders are opened relative to their parent, so depth does not matter: a
// file whose path is far longer than PATH_MAX is still found. Only a few
// folders are held open at once; deeper ones are left again through "..",
// checked to lead back to the very folder that was entered.
//
// Paths in and out are in the lossless form of FileName.
class DirectoryWalker
{
public:
    enum Result { Completed, Stopped, NotEntered };

    using FileHandler = std::function<void(const QString &path)>;
    using StopCheck = std::function<bool()>;
    // A folder that could not be read or entered, and why, in the system's
    // words where it has some ("Permission denied").
    using FolderHandler = std::function<void(const QString &path, const QString &reason)>;

    // The most folders a walk holds open at once by default.
    static constexpr int DefaultOpenFolders = 32;

    // Pseudo file systems are recognised by their statfs() type and by the
    // mount table of this process, read at the start of each walk.
    DirectoryWalker() = default;
    // Test seam: the devices (st_dev) to treat as pseudo file systems instead
    // of those of the live mount table.
    explicit DirectoryWalker(const QSet<quint64> &pseudoDevices);

    // Calls onFile with the path of each regular file under root (root's own
    // spelling, then "/name" parts) and stopRequested before each folder entry;
    // once it answers true the walk ends with Stopped. Every folder that could
    // not be read or entered goes to onFolderUnreadable, root included.
    // NotEntered: root is not a folder that can be opened, or lies on a pseudo
    // file system. A folder that vanished during the walk is no news.
    Result walk(const QString &root, const FileHandler &onFile, const StopCheck &stopRequested,
                const FolderHandler &onFolderUnreadable = {});

    // Test seam: the most folders held open at once (at least 2).
    void setMaxOpenFolders(int count);
    int maxOpenFolders() const { return m_maxOpenFolders; }

private:
    std::optional<QHash<quint64, QByteArray>> m_pseudoDevices;
    int m_maxOpenFolders = DefaultOpenFolders;
};
