#pragma once

#include <QString>
#include <QtGlobal>

// Facts about a file that the file table needs, read from the file's metadata
// only (the content is never opened).
namespace FileProperties {

// Size in bytes, or -1 when it cannot be read: the file is gone, a folder on the
// way denies search permission, or the name holds bytes that are not UTF-8 and
// Qt can no longer encode it back to the name on disk.
qint64 sizeOf(const QString &path);

// True when path is the root of a mounted volume ("/", a USB stick's mount point).
bool isVolumeRoot(const QString &path);

} // namespace FileProperties
