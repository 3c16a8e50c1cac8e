#include "views/scansummarywidget.h"

#include "ui_scansummarywidget.h"

#include <QDebug>

namespace {
// The summary names the scanned folders and files, and a Linux name may hold
// "<" or "&". Only the bold tags are markup; everything else shows as written.
QString summaryHtml(const QString &summary)
{
    QString html = summary.toHtmlEscaped();
    html.replace(QStringLiteral("&lt;b&gt;"), QStringLiteral("<b>"));
    html.replace(QStringLiteral("&lt;/b&gt;"), QStringLiteral("</b>"));
    return html;
}
} // namespace

ScanSummaryWidget::ScanSummaryWidget(QWidget *parent)
    : QWidget(parent), ui(std::make_unique<Ui::ScanSummaryWidget>())
{
    ui->setupUi(this);
    ui->label_summary->setTextFormat(Qt::RichText);
    connect(ui->label_dismiss, &QLabel::linkActivated, this, &QWidget::hide);
    ui->label_dismiss->hide();
}

ScanSummaryWidget::~ScanSummaryWidget() = default;

QString ScanSummaryWidget::maliciousStyleSheet()
{
    return QStringLiteral("background-color: %1;").arg(QStringLiteral("rgb( 255, 152, 1 )"));
}

void ScanSummaryWidget::showScanSummary(QString p_summary)
{
    ui->label_summary->setText(summaryHtml(p_summary));
    show();
}

void ScanSummaryWidget::showScanIcon(QPixmap &p_icon)
{
    ui->label_icon->setPixmap(p_icon);
    show();
}

void ScanSummaryWidget::showScanStatistics(int p_count)
{
    qDebug().noquote()
        << QStringLiteral("ScanSummaryWidget::showScanStatistics( %1 ) called").arg(p_count);
    ui->frame->setStyleSheet(p_count > 0 ? maliciousStyleSheet() : QString());
    show();
}
