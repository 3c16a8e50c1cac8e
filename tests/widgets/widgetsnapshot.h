#pragma once

#include <QDir>
#include <QImage>
#include <QWidget>

// Renders a widget as a screen at the given scale shows it. With
// WINORVEX_WIDGET_SNAPSHOTS set to a folder, the image is also saved there as
// <name>@<scale>x.png for a look by eye.
inline QImage widgetSnapshot(QWidget *widget, qreal scale, const QString &name,
                             const QColor &background = Qt::transparent)
{
    widget->ensurePolished();
    QImage image(widget->size() * scale, QImage::Format_ARGB32);
    image.setDevicePixelRatio(scale);
    image.fill(background);
    // Only what the widget paints itself, over the chosen background.
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    const QString folder = qEnvironmentVariable("WINORVEX_WIDGET_SNAPSHOTS");
    if (!folder.isEmpty()) {
        QDir().mkpath(folder);
        image.save(QStringLiteral("%1/%2@%3x.png").arg(folder, name).arg(scale));
    }
    return image;
}

inline int countPixels(const QImage &image, const QRect &area, bool (*match)(QRgb))
{
    int n = 0;
    const QRect inside = area & image.rect();
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            if (match(image.pixel(x, y)))
                ++n;
    return n;
}
