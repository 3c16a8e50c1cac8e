#include "widgets/embeddedlabellineedit.h"

#include <QFocusEvent>
#include <QPalette>

EmbeddedLabelLineEdit::EmbeddedLabelLineEdit(QWidget *parent)
    : QLineEdit(parent), m_labelColor(Qt::gray)
{
    setLabelText(tr("Filter"));
}

void EmbeddedLabelLineEdit::setLabelText(const QString &text)
{
    m_labelText = text;
    // A focused field gets the new hint when the user leaves it.
    if (hasFocus())
        hideLabel();
    else
        showLabel();
}

void EmbeddedLabelLineEdit::setLabelColor(const QColor &color)
{
    m_labelColor = color;
}

// The hint is the placeholder, not the text: typing the hint's own words is an
// ordinary filter, and a programmatic clear brings the hint back by itself.
void EmbeddedLabelLineEdit::showLabel()
{
    QPalette p = palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        p.setBrush(group, QPalette::PlaceholderText, m_labelColor);
    setPalette(p);
    setPlaceholderText(m_labelText);
}

void EmbeddedLabelLineEdit::hideLabel()
{
    setPlaceholderText(QString());
}

void EmbeddedLabelLineEdit::focusInEvent(QFocusEvent *event)
{
    hideLabel();
    QLineEdit::focusInEvent(event);
}

void EmbeddedLabelLineEdit::focusOutEvent(QFocusEvent *event)
{
    showLabel();
    QLineEdit::focusOutEvent(event);
}
