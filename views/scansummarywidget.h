#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

#include <memory>

namespace Ui {
class ScanSummaryWidget;
}

// The coloured banner under the file table that shows the summary of the last
// scan: blue when it found nothing, orange when it found malware.
class ScanSummaryWidget : public QWidget
{
    Q_OBJECT

public:
    explicit ScanSummaryWidget(QWidget *parent = nullptr);
    ~ScanSummaryWidget() override;

    // The banner's colour for a scan that found malware.
    static QString maliciousStyleSheet();

public Q_SLOTS:
    void showScanSummary(QString p_summary);
    void showScanIcon(QPixmap &p_icon);
    void showScanStatistics(int p_count);

private:
    std::unique_ptr<Ui::ScanSummaryWidget> ui;
};
