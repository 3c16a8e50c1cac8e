#include "platform/executableicon.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMutex>
#include <QMutexLocker>
#include <QPixmap>
#include <QThread>

namespace {
QMutex g_mutex;
bool g_prepared = false;
QByteArray g_small;
QByteArray g_large;

QByteArray pngOf(const QIcon &themeIcon, int size)
{
    QPixmap pixmap;
    if (!themeIcon.isNull())
        pixmap = themeIcon.pixmap(size, size);
    if (pixmap.isNull())
        pixmap = QPixmap(QStringLiteral(":img/icons/WinOrvex/%1.png").arg(size));
    if (pixmap.isNull())
        return QByteArray();
    // A theme may only have the icon in a smaller size.
    if (pixmap.size() != QSize(size, size))
        pixmap = pixmap.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    pixmap.save(&buffer, "PNG");
    return bytes;
}
} // namespace

void ExecutableIcon::prepare()
{
    QCoreApplication *app = QCoreApplication::instance();
    // Pixmaps exist only in a GUI application, on its own thread.
    if (!qobject_cast<QGuiApplication *>(app) || QThread::currentThread() != app->thread())
        return;
    {
        const QMutexLocker locker(&g_mutex);
        if (g_prepared)
            return;
    }
    const QIcon icon = QIcon::fromTheme(QStringLiteral("application-x-executable"));
    const QByteArray small = pngOf(icon, SmallSize);
    const QByteArray large = pngOf(icon, LargeSize);
    const QMutexLocker locker(&g_mutex);
    g_small = small;
    g_large = large;
    g_prepared = true;
}

QByteArray ExecutableIcon::png(bool large)
{
    const QMutexLocker locker(&g_mutex);
    return large ? g_large : g_small;
}
