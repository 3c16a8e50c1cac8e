#include "views/summaryitem.h"

#include "ui_summaryitem.h"
#include "widgets/capsulebutton.h"

#include <QPixmap>

SummaryItem::SummaryItem(QWidget *parent) : QWidget(parent), ui(std::make_unique<Ui::SummaryItem>())
{
    ui->setupUi(this);
    ui->label_spinner->setSpinnerSize(19);
    ui->label_spinner->setText(QString());
    ui->label_details->hide();
    ui->label_toggle->hide();
    connect(ui->label_details, &QLabel::linkActivated, this, &SummaryItem::linkClicked);
    connect(ui->label_toggle, &QLabel::linkActivated, this, &SummaryItem::handleScanToggle);
}

SummaryItem::~SummaryItem() = default;

CapsuleButton *SummaryItem::addCapsuleButton()
{
    auto *button = new CapsuleButton;
    ui->horizontalLayout_actions->insertWidget(0, button);
    return button;
}

QString SummaryItem::title() const
{
    return ui->label_title->text();
}

QString SummaryItem::status() const
{
    return ui->label_status->text();
}

QString SummaryItem::additionalInfo() const
{
    return ui->label_additional_info->text();
}

void SummaryItem::setMode(int mode)
{
    ui->label_spinner->stopAnimation();
    switch (mode) {
    case Idle:
        ui->label_icon->setPixmap(QPixmap(QStringLiteral(":gear_64x64.png")));
        break;
    case Busy:
        ui->label_spinner->startAnimation();
        break;
    case AllClear:
        ui->label_icon->setPixmap(QPixmap(QStringLiteral(":/ok_64x64.png")));
        break;
    case MalwareFound:
        ui->label_icon->setPixmap(QPixmap(QStringLiteral(":warning_64x64.png")));
        break;
    default:
        return;
    }
    m_mode = mode;
}

void SummaryItem::setTitle(const QString &title)
{
    ui->label_title->setText(title);
}

void SummaryItem::setStatus(const QString &status)
{
    ui->label_status->setText(status);
}

void SummaryItem::showDetailsLink(const QString &anchor)
{
    ui->label_details->setText(QStringLiteral("<a href='#%1'>%2</a>").arg(anchor, tr("Details")));
    ui->label_details->show();
}

void SummaryItem::setScanEnabled(bool enabled)
{
    ui->label_toggle->setText(
        enabled ? QStringLiteral("<a href='#disable_scan'>%1</a>").arg(tr("Disable"))
                : QStringLiteral("<a href='#enable_scan'>%1</a>").arg(tr("Enable")));
    setLed(enabled);
    setAdditionalInfo(enabled ? tr("Scanning is enabled.") : tr("Scanning is disabled."));
}

void SummaryItem::handleScanToggle(const QString &link)
{
    if (link == QLatin1String("#enable_scan"))
        Q_EMIT enableScan(true);
    else if (link == QLatin1String("#disable_scan"))
        Q_EMIT enableScan(false);
}

void SummaryItem::setLed(bool green)
{
    m_ledGreen = green;
    ui->label_led->setPixmap(QPixmap(green ? QStringLiteral(":greenled_16x16.png")
                                           : QStringLiteral(":redled_16x16.png")));
}

void SummaryItem::setAdditionalInfo(const QString &text)
{
    ui->label_additional_info->setText(text);
}

QLabel *SummaryItem::detailsLabel() const
{
    return ui->label_details;
}

QLabel *SummaryItem::toggleLabel() const
{
    return ui->label_toggle;
}

QLabel *SummaryItem::ledLabel() const
{
    return ui->label_led;
}
