#include "services/updatedialog.h"

#include "app/webaddress.h"
#include "services/releasenotesbrowser.h"
#include "ui_updatedialog.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QList>
#include <QStringDecoder>

namespace {
// Offers are meant to be UTF-8; bytes that are not are taken as Latin-1.
QString offerText(const QByteArray &payload)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(payload);
    return utf8.hasError() ? QString::fromLatin1(payload) : text;
}
} // namespace

UpdateDialog::UpdateDialog(QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::UpdateDialog>()),
      m_downloadAddress(WebAddress::download())
{
    ui->setupUi(this);
    connect(ui->pushButton_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->pushButton_download, &QPushButton::clicked, this, &UpdateDialog::userDownload);
}

UpdateDialog::~UpdateDialog() = default;

void UpdateDialog::loadPayload(const QByteArray &payload)
{
    const QStringList lines = offerText(payload).split(QLatin1Char('\n'));
    if (lines.size() < 3) {
        qWarning() << "UpdateDialog::loadPayload() payload had less than 3 lines in it!";
        return;
    }
    const QString version = lines.at(0).trimmed();
    const QUrl address(lines.at(1).trimmed(), QUrl::StrictMode);
    if (ReleaseNotesBrowser::isWebAddress(address)) {
        m_downloadAddress = address;
    } else {
        qWarning().noquote() << QStringLiteral("UpdateDialog::loadPayload() ignoring the download "
                                               "address '%1': only http and https addresses are "
                                               "opened; keeping %2")
                                    .arg(lines.at(1), m_downloadAddress.toString());
    }
    ui->textBrowser->setHtml(lines.mid(2).join(QLatin1Char('\n')));
    ui->label_version->setText(
        tr("WinOrvex %1 is now available - you have %2.  Would you like to download it?")
            .arg(version, QCoreApplication::applicationVersion()));
}

void UpdateDialog::userDownload()
{
    qDebug() << "UpdateDialog::userDownload() called";
    if (!QDesktopServices::openUrl(m_downloadAddress)) {
        qWarning().noquote() << QStringLiteral("UpdateDialog::userDownload() failed to open URL %1")
                                    .arg(m_downloadAddress.toString());
        return;
    }
    accept();
}
