#include "widgets/capsulebutton.h"

CapsuleButton::CapsuleButton(QWidget *parent) : QFrame(parent)
{
    setupUi(this);
    connect(pushButtonStop, &QPushButton::clicked, this, &CapsuleButton::handleStopClicked);
}

void CapsuleButton::showStartButton(bool start)
{
    if (start) {
        stackedWidget->setCurrentWidget(pageStart);
        return;
    }
    pushButtonStop->setEnabled(true);
    stackedWidget->setCurrentWidget(pageStop);
}

QPushButton *CapsuleButton::startButton()
{
    return pushButtonStart;
}

QPushButton *CapsuleButton::stopButton()
{
    return pushButtonStop;
}

void CapsuleButton::handleStopClicked()
{
    // One stop request per scan: stopping takes a moment, and further clicks
    // would only queue more requests.
    pushButtonStop->setEnabled(false);
}
