#include "views/processdelegate.h"

#include "processes/processsqlmodel.h"
#include "registry/orvexcheckstate.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>

ProcessDelegate::ProcessDelegate(QObject *parent)
    : QStyledItemDelegate(parent), m_warning(QStringLiteral(":/warning_16x16.png"))
{
}

void ProcessDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                            const QModelIndex &index) const
{
    if (!index.isValid() || index.column() != 0)
        return;
    const auto *model = qobject_cast<const ProcessSqlModel *>(index.model());
    if (!model)
        return;
    const int row = index.row();
    const QRect rect = option.rect;
    const bool selected = option.state & QStyle::State_Selected;
    const bool malware = model->isMalware(row);

    painter->save();
    const int state = model->orvexState(row);
    const bool unsettled = state == NotChecked || state == UnableToCheck || state == Checking;
    painter->fillRect(rect, unsettled ? QColor(Qt::lightGray) : QColor(Qt::white));

    if (selected) {
        QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
        gradient.setColorAt(0, QColor(143, 158, 213));
        gradient.setColorAt(1, QColor(27, 89, 184));
        painter->fillRect(rect, gradient);
    }

    if (malware || model->hasMaliciousModules(row)) {
        if (!selected && malware)
            painter->fillRect(rect, model->isAlive(row) ? m_highlight : QColor(Qt::darkRed));
        const qreal width = m_warning.width() / m_warning.devicePixelRatio();
        painter->drawPixmap(QPointF(rect.width() - width, rect.top()), m_warning);
    }

    painter->drawPixmap(rect.topLeft() + QPoint(3, 0), model->smallIcon(row));

    const QPalette::ColorGroup group =
        option.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
    painter->setPen(malware || selected ? QColor(Qt::white)
                                        : option.palette.color(group, QPalette::Text));
    painter->setFont(option.font);
    painter->drawText(QRectF(rect.translated(23, 1)), model->baseName(row), QTextOption());
    painter->restore();
}
