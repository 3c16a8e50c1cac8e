#pragma once

#include <QString>
#include <QWidget>

#include <memory>

class CapsuleButton;
class QLabel;

namespace Ui {
class SummaryItem;
}

// One panel of the Summary tab: a large state icon, a title with a spinner while
// work is in progress, a status line with a "Details" link, and a line with a
// status LED and additional information.
class SummaryItem : public QWidget
{
    Q_OBJECT

public:
    enum Mode { Idle = 0, Busy = 1, AllClear = 2, MalwareFound = 3 };

    explicit SummaryItem(QWidget *parent = nullptr);
    ~SummaryItem() override;

    // A capsule button at the start of the LED line; the item's layout owns it.
    CapsuleButton *addCapsuleButton();

    QString title() const;
    QString status() const;
    QString additionalInfo() const;
    // The mode last set.
    int mode() const { return m_mode; }
    // Whether the LED shows green (false: red, or no LED set yet).
    bool isLedGreen() const { return m_ledGreen; }

Q_SIGNALS:
    void linkClicked(QString link);
    void enableScan(bool enable);

public Q_SLOTS:
    void setMode(int mode);
    void setTitle(const QString &title);
    void setStatus(const QString &status);
    void showDetailsLink(const QString &anchor);
    virtual void setScanEnabled(bool enabled);

protected Q_SLOTS:
    void handleScanToggle(const QString &link);

protected:
    void setLed(bool green);
    void setAdditionalInfo(const QString &text);
    QLabel *detailsLabel() const;
    QLabel *toggleLabel() const;
    QLabel *ledLabel() const;

private:
    std::unique_ptr<Ui::SummaryItem> ui;
    int m_mode = Idle;
    bool m_ledGreen = false;
};
