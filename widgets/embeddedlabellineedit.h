#pragma once

#include <QColor>
#include <QLineEdit>
#include <QString>

// A line edit that shows a grey hint ("Filter") while it is empty and has no
// focus. The hint is never the field's text: text() stays empty and textChanged
// listeners never see it.
class EmbeddedLabelLineEdit : public QLineEdit
{
    Q_OBJECT

public:
    explicit EmbeddedLabelLineEdit(QWidget *parent = nullptr);

    QString labelText() const { return m_labelText; }
    QColor labelColor() const { return m_labelColor; }
    // Whether the hint is set up to show when the field is empty.
    bool isLabelShown() const { return !placeholderText().isEmpty(); }

public Q_SLOTS:
    void setLabelText(const QString &text);
    void setLabelColor(const QColor &color);

protected:
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    void showLabel();
    void hideLabel();

    QString m_labelText;
    QColor m_labelColor;
};
