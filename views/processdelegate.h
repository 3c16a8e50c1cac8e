#pragma once

#include <QColor>
#include <QPixmap>
#include <QStyledItemDelegate>

// Draws a row of the process list: its check state as the background, malware
// in the highlight colour (dark red once the process has ended) with a warning
// sign at the right edge, then the small icon and the name.
class ProcessDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit ProcessDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;

    QColor highlightColor() const { return m_highlight; }

private:
    const QColor m_highlight{255, 152, 1};
    const QPixmap m_warning;
};
