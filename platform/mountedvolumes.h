#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The mounted volumes that a drive scan can be offered for: real file systems,
// valid and ready, never the kernel's pseudo file systems.
namespace MountedVolumes {

struct Volume
{
    QString rootPath; // native separators
    QString name;     // the file system's label, often empty
    QByteArray fileSystemType;
    bool valid = false;
    bool ready = false;
};

// The volumes worth scanning, in the given order: valid and ready, not a pseudo
// file system, each root once (a folder mounted twice is walked once).
QList<Volume> scannable(const QList<Volume> &volumes);

// What the menus show for a volume: its label and root, or the root alone.
QString displayName(const Volume &volume);

// The live list of this process's mount namespace.
QList<Volume> mounted();

} // namespace MountedVolumes
