#pragma once

#include "ui_capsulebutton.h"

#include <QFrame>

class QPushButton;

// A rounded capsule holding either a start or a stop button; the owner labels
// and connects the buttons and switches between them.
class CapsuleButton : public QFrame, private Ui::CapsuleButton
{
    Q_OBJECT

public:
    explicit CapsuleButton(QWidget *parent = nullptr);

public Q_SLOTS:
    void showStartButton(bool start);
    QPushButton *startButton();
    QPushButton *stopButton();

protected Q_SLOTS:
    void handleStopClicked();
};
