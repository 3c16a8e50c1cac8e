#include "platform/fileproperties.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>

#include <sys/stat.h>

qint64 FileProperties::sizeOf(const QString &path)
{
    // stat() rather than QFileInfo: QFileInfo reports a missing file as 0 bytes.
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return static_cast<qint64>(info.st_size);
}

bool FileProperties::isVolumeRoot(const QString &path)
{
    const QString canonical = QDir(path).canonicalPath();
    if (canonical.isEmpty())
        return false;
    const QStorageInfo volume(canonical);
    return volume.isValid() && QDir(volume.rootPath()).canonicalPath() == canonical;
}
