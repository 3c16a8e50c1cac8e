#include "widgets/shadowlabel.h"

#include <QPainter>

ShadowLabel::ShadowLabel(QWidget *parent, Qt::WindowFlags f) : QLabel(parent, f) {}

void ShadowLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QPen pen = painter.pen();
    const QColor shadow =
        pen.color() == QColor(Qt::white) ? QColor(Qt::black) : QColor(250, 250, 250);
    int flags = static_cast<int>(alignment());
    if (wordWrap())
        flags |= Qt::TextWordWrap;
    // Laid out in the whole label, not the exposed part: a partial repaint must
    // place the text where a full one does.
    const int m = margin();
    const QRect area = contentsRect().adjusted(m, m, -m, -m);

    painter.setPen(shadow);
    painter.drawText(area.translated(0, 1), flags, text());
    painter.setPen(pen);
    painter.drawText(area, flags, text());
}
