#include "services/sendfeedbackdialog.h"

#include "app/webaddress.h"

#include "ui_sendfeedbackdialog.h"

#include <QCoreApplication>
#include <QDialogButtonBox>

namespace {
const char MailtoScheme[] = "mailto";
}

SendFeedbackDialog::SendFeedbackDialog(QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::SendFeedbackDialog>())
{
    ui->setupUi(this);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);

    const QUrl address = WebAddress::feedback();
    const QUrl link = mailLink(address, QCoreApplication::applicationVersion());
    const QString shown = address.scheme() == QLatin1String(MailtoScheme)
                              ? address.path()
                              : address.toDisplayString();
    ui->label_address->setText(
        QStringLiteral("<a href=\"%1\">%2</a>")
            .arg(QString::fromLatin1(link.toEncoded()).toHtmlEscaped(), shown.toHtmlEscaped()));
}

SendFeedbackDialog::~SendFeedbackDialog() = default;

QUrl SendFeedbackDialog::mailLink(const QUrl &feedbackAddress, const QString &version)
{
    if (feedbackAddress.scheme() != QLatin1String(MailtoScheme))
        return feedbackAddress;
    const QString subject = QStringLiteral("WinOrvex %1 Feedback").arg(version);
    const QString body =
        QStringLiteral("Please enter any comments here.\nWe appreciate your feedback.");
    // Spaces, line ends, "&" and "=" in the values would otherwise end or split
    // the fields in the mail program.
    const QByteArray encoded = "mailto:" + feedbackAddress.path(QUrl::FullyEncoded).toUtf8() +
                               "?subject=" + QUrl::toPercentEncoding(subject) +
                               "&body=" + QUrl::toPercentEncoding(body);
    return QUrl::fromEncoded(encoded, QUrl::StrictMode);
}
