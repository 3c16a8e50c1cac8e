#include "platform/fileicon.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QGuiApplication>
#include <QIcon>
#include <QMimeDatabase>

namespace {
constexpr int IconSize = 16;

QIcon iconForType(QAbstractFileIconProvider::IconType type)
{
    // The widgets provider draws on the application style, which exists only
    // under QApplication; the plain provider asks the icon theme.
    if (qobject_cast<QApplication *>(QCoreApplication::instance()))
        return QFileIconProvider().icon(type);
    return QAbstractFileIconProvider().icon(type);
}

QIcon iconForKind(const QString &path, FileIcon::Kind kind)
{
    switch (kind) {
    case FileIcon::Kind::Volume:
        return iconForType(QAbstractFileIconProvider::Drive);
    case FileIcon::Kind::Folder:
        return iconForType(QAbstractFileIconProvider::Folder);
    case FileIcon::Kind::File:
        break;
    }
    // The type from the name alone: matching by content would read the file,
    // and mimeTypeForFile() would look the path up through Qt, which cannot
    // spell every name.
    const qsizetype slash = path.lastIndexOf(u'/');
    const QList<QMimeType> types = QMimeDatabase().mimeTypesForFileName(path.mid(slash + 1));
    QIcon icon;
    if (!types.isEmpty()) {
        icon = QIcon::fromTheme(types.first().iconName());
        if (icon.isNull())
            icon = QIcon::fromTheme(types.first().genericIconName());
    }
    if (icon.isNull())
        icon = iconForType(QAbstractFileIconProvider::File);
    return icon;
}
} // namespace

QPixmap FileIcon::smallIcon(const QString &path, Kind kind)
{
    // Pixmaps need a GUI application; a headless scan simply goes without.
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return QPixmap();
    const QIcon icon = iconForKind(path, kind);
    if (!icon.isNull()) {
        const QPixmap pixmap = icon.pixmap(IconSize, IconSize);
        if (!pixmap.isNull())
            return pixmap;
    }
    return QPixmap(QStringLiteral(":img/icons/WinOrvex/16.png"));
}
