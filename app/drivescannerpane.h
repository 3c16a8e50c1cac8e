#pragma once

#include "app/preferencepane.h"

#include <QTime>

#include <memory>

namespace Ui {
class FormDriveScanner;
}

// The daily drive scan: on or off, and its time of day.
class DriveScannerPane : public PreferencePane
{
    Q_OBJECT

public:
    explicit DriveScannerPane(QWidget *parent = nullptr);
    ~DriveScannerPane() override;

    // How the time is written in the file, whatever the user's language.
    static QString timeText(const QTime &time);
    static QTime timeFromText(const QString &text);

Q_SIGNALS:
    // The daily scan time, or a null time when the daily scan is off.
    void driveScanTimeChanged(QTime time);

public Q_SLOTS:
    bool apply() override;
    bool save() override;
    bool load(const QDomDocument &document, bool dialogOpening) override;

private:
    QTime announcedTime() const;

    std::unique_ptr<Ui::FormDriveScanner> ui;
};
