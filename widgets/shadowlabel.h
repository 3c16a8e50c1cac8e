#pragma once

#include <QLabel>

// A label whose text stands out from gradient backgrounds with a one-pixel shadow
// below it: dark under white text, light under any other colour.
class ShadowLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ShadowLabel(QWidget *parent = nullptr, Qt::WindowFlags f = Qt::WindowFlags());

protected:
    void paintEvent(QPaintEvent *event) override;
};
