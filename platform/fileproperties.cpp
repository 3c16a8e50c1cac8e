#include "platform/fileproperties.h"

#include "platform/filename.h"
#include "platform/kerneltext.h"
#include "platform/longpath.h"
#include "platform/pseudofilesystems.h"

#include <cstdlib>
#include <memory>
#include <sys/stat.h>

namespace {
struct FreeDeleter
{
    void operator()(char *text) const { std::free(text); }
};
} // namespace

qint64 FileProperties::sizeOf(const QString &path)
{
    // stat() rather than QFileInfo: QFileInfo reports a missing file as 0 bytes.
    struct stat info = {};
    if (path.isEmpty() || !LongPath::stat(FileName::toBytes(path), &info))
        return -1;
    return static_cast<qint64>(info.st_size);
}

bool FileProperties::isVolumeRoot(const QString &path)
{
    if (path.isEmpty())
        return false;
    // The mount table names each mount point by its bytes, as realpath() does.
    const std::unique_ptr<char, FreeDeleter> canonical(
        ::realpath(FileName::toBytes(path).constData(), nullptr));
    if (!canonical)
        return false;
    QByteArray text;
    if (!readKernelTextFile(QStringLiteral("/proc/self/mountinfo"), &text,
                            QStringLiteral("FileProperties::isVolumeRoot() /proc/self/mountinfo")))
        return false;
    const QString mountPoint = FileName::fromBytes(QByteArray(canonical.get()));
    for (const PseudoFileSystems::Mount &mount : PseudoFileSystems::parseMountInfo(text)) {
        if (mount.mountPoint == mountPoint)
            return true;
    }
    return false;
}
