#include "views/summaryitemfiles.h"

#include "platform/clock.h"
#include "widgets/capsulebutton.h"

#include <QDebug>
#include <QLabel>
#include <QLocale>
#include <QPushButton>

namespace {
constexpr qint64 MsecsPerDay = 24 * 60 * 60 * 1000;
} // namespace

SummaryItemFiles::SummaryItemFiles(QWidget *parent) : SummaryItem(parent)
{
    setTitle(tr("Files On Computer"));
    setMode(Idle);
    setStatus(tr("No files have been scanned."));

    m_capsule = addCapsuleButton();
    m_capsule->startButton()->setText(tr("Scan Computer"));
    m_capsule->stopButton()->setText(tr("Stop Scan"));
    m_capsule->showStartButton(true);
    connect(m_capsule->startButton(), &QPushButton::clicked, this,
            &SummaryItemFiles::requestScanComputer);
    connect(m_capsule->stopButton(), &QPushButton::clicked, this,
            &SummaryItemFiles::requestStopScan);

    toggleLabel()->setText(QStringLiteral("<a href='#change_drive_scan'>%1</a>").arg(tr("Edit")));
    toggleLabel()->show();
    connect(toggleLabel(), &QLabel::linkActivated, this, &SummaryItem::linkClicked);

    m_driveScanLineTimer.setSingleShot(true);
    m_driveScanLineTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_driveScanLineTimer, &QTimer::timeout, this, &SummaryItemFiles::showDriveScanLine);
    setDriveScanTime(QTime());
}

void SummaryItemFiles::addMalware(const QString &path)
{
    m_malware.append(path);
    updateStatus(true);
}

void SummaryItemFiles::removeMalware(const QString &path)
{
    m_malware.removeOne(path);
    updateStatus(true);
}

void SummaryItemFiles::fileScanStarted()
{
    setMode(Busy);
    setStatus(tr("Scanning files..."));
    detailsLabel()->hide();
    m_capsule->showStartButton(false);
}

void SummaryItemFiles::handleFileScanAborted()
{
    qDebug() << "SummaryItemFiles::handleFileScanAborted() called";
    setStatus(tr("Scan cancelled."));
    setMode(Idle);
    showDetailsLink(QStringLiteral("details_files"));
    m_capsule->showStartButton(true);
}

void SummaryItemFiles::fileScanFinished(bool scanned)
{
    updateStatus(scanned);
    m_capsule->showStartButton(true);
}

void SummaryItemFiles::updateStatus(bool scanned)
{
    qDebug().noquote()
        << QStringLiteral("SummaryItemFiles::updateStatus( %1 ) called").arg(scanned ? 1 : 0);
    const int count = m_malware.size();
    if (count == 1) {
        setStatus(tr("WinOrvex has identified 1 malware file."));
        setMode(MalwareFound);
    } else if (count > 1) {
        setStatus(tr("WinOrvex has identified %1 malware files.").arg(count));
        setMode(MalwareFound);
    } else if (scanned) {
        setStatus(tr("No scanned files were identified as malware."));
        setMode(AllClear);
    } else {
        setStatus(tr("No files have been scanned."));
        setMode(Idle);
    }
    showDetailsLink(QStringLiteral("details_files"));
}

QString SummaryItemFiles::driveScanText(const QTime &time, const QDateTime &now)
{
    if (time.isNull())
        return tr("Automatic drive scanning is disabled.");
    const QString at = QLocale::c().toString(time, QStringLiteral("h:mm AP"));
    if (now.time().msecsTo(time) >= 0)
        return QStringLiteral("An automatic drive scan will take place at %1.").arg(at);
    return QStringLiteral("An automatic drive scan will take place tomorrow at %1.").arg(at);
}

void SummaryItemFiles::setDriveScanTime(const QTime &time)
{
    m_driveScanTime = time;
    showDriveScanLine();
}

void SummaryItemFiles::showDriveScanLine()
{
    ledLabel()->show();
    const QDateTime now = Clock::currentDateTime();
    setLed(!m_driveScanTime.isNull());
    setAdditionalInfo(driveScanText(m_driveScanTime, now));
    m_driveScanLineTimer.stop();
    if (m_driveScanTime.isNull())
        return;
    // The line changes when the scan time passes (to "tomorrow") and at
    // midnight (back to today).
    const qint64 untilScan = now.time().msecsTo(m_driveScanTime);
    const qint64 untilMidnight = MsecsPerDay - now.time().msecsSinceStartOfDay();
    const qint64 next = untilScan >= 0 ? untilScan + 1 : untilMidnight;
    m_driveScanLineTimer.start(static_cast<int>(qMax<qint64>(1, next)));
}
