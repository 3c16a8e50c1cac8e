#pragma once

#include <QString>
#include <QtGlobal>

// Facts about a file that the file table needs, read from the file's metadata
// only (the content is never opened). Paths are in the lossless form of
// FileName, of any length.
namespace FileProperties {

// Size in bytes, or -1 when it cannot be read: the file is gone, or a folder
// on the way denies search permission.
qint64 sizeOf(const QString &path);

// True when path is the root of a mounted volume ("/", a USB stick's mount point).
bool isVolumeRoot(const QString &path);

} // namespace FileProperties
