#pragma once

#include <QDialog>
#include <QUrl>

#include <memory>

namespace Ui {
class SendFeedbackDialog;
}

// Shows the feedback address as a link that opens the user's mail program
// with a prepared subject and body.
class SendFeedbackDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SendFeedbackDialog(QWidget *parent = nullptr);
    ~SendFeedbackDialog() override;

    // The link for a feedback address: for a mailto: address the same address
    // with the subject "WinOrvex <version> Feedback" and the prepared body,
    // percent-encoded; any other address as it is.
    static QUrl mailLink(const QUrl &feedbackAddress, const QString &version);

private:
    std::unique_ptr<Ui::SendFeedbackDialog> ui;
};
