#include "platform/mountedvolumes.h"

#include "platform/pseudofilesystems.h"

#include <QDir>
#include <QSet>
#include <QStorageInfo>

QList<MountedVolumes::Volume> MountedVolumes::scannable(const QList<Volume> &volumes)
{
    QList<Volume> kept;
    QSet<QString> roots;
    for (const Volume &volume : volumes) {
        if (!volume.valid || !volume.ready || volume.rootPath.isEmpty())
            continue;
        if (PseudoFileSystems::isPseudoType(volume.fileSystemType))
            continue;
        if (roots.contains(volume.rootPath))
            continue;
        roots.insert(volume.rootPath);
        kept.append(volume);
    }
    return kept;
}

QString MountedVolumes::displayName(const Volume &volume)
{
    if (volume.name.isEmpty() || volume.name == volume.rootPath)
        return volume.rootPath;
    return QStringLiteral("%1 (%2)").arg(volume.name, volume.rootPath);
}

QList<MountedVolumes::Volume> MountedVolumes::mounted()
{
    QList<Volume> volumes;
    const QList<QStorageInfo> infos = QStorageInfo::mountedVolumes();
    for (const QStorageInfo &info : infos) {
        Volume volume;
        volume.rootPath = QDir::toNativeSeparators(info.rootPath());
        volume.name = info.name();
        volume.fileSystemType = info.fileSystemType();
        volume.valid = info.isValid();
        volume.ready = info.isReady();
        volumes.append(volume);
    }
    return scannable(volumes);
}
