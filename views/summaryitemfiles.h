#pragma once

#include "views/summaryitem.h"

#include <QList>
#include <QString>
#include <QTime>
#include <QTimer>

class CapsuleButton;

// The "Files On Computer" panel: the outcome of the file scans of this run, the
// next daily drive scan, and a button that starts or stops a computer scan.
class SummaryItemFiles : public SummaryItem
{
    Q_OBJECT

public:
    explicit SummaryItemFiles(QWidget *parent = nullptr);

    CapsuleButton *capsuleButton() const { return m_capsule; }
    QTime driveScanTime() const { return m_driveScanTime; }
    void updateStatus(bool scanned);

    // The drive-scan line for a scan time as seen at `now` (a null time: no daily scan).
    static QString driveScanText(const QTime &time, const QDateTime &now);

Q_SIGNALS:
    void requestScanComputer();
    void requestStopScan();

public Q_SLOTS:
    void addMalware(const QString &path);
    void removeMalware(const QString &path);
    void fileScanStarted();
    void handleFileScanAborted();
    void fileScanFinished(bool scanned);
    void setDriveScanTime(const QTime &time);

private:
    void showDriveScanLine();

    QList<QString> m_malware;
    CapsuleButton *m_capsule;
    QTime m_driveScanTime;
    // Turns "at" into "tomorrow at" once the time has passed, and back at midnight.
    QTimer m_driveScanLineTimer;
};
