#pragma once

#include <QPixmap>
#include <QString>

// Small icons for scanned items, chosen by the item's type alone: the file is
// never opened, so a FIFO or a huge file costs nothing.
namespace FileIcon {

enum class Kind { File, Folder, Volume };

// The 16x16 icon for path. Falls back to the application's generic icon when the
// icon theme has nothing; a null pixmap when that is missing too, or when the
// process has no GUI application (a command-line scan).
QPixmap smallIcon(const QString &path, Kind kind);

} // namespace FileIcon
