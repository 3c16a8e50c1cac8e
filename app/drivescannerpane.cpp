#include "app/drivescannerpane.h"

#include "ui_drivescannerpane.h"

#include <QDebug>
#include <QLocale>

namespace {
const char TimeFormat[] = "h:mm AP";
} // namespace

DriveScannerPane::DriveScannerPane(QWidget *parent)
    : PreferencePane(QStringLiteral("DriveScanner"), parent),
      ui(std::make_unique<Ui::FormDriveScanner>())
{
    ui->setupUi(this);
}

DriveScannerPane::~DriveScannerPane() = default;

QString DriveScannerPane::timeText(const QTime &time)
{
    return QLocale::c().toString(time, QLatin1String(TimeFormat));
}

QTime DriveScannerPane::timeFromText(const QString &text)
{
    return QLocale::c().toTime(text.trimmed(), QLatin1String(TimeFormat));
}

QTime DriveScannerPane::announcedTime() const
{
    return ui->checkBox->isChecked() ? ui->timeEdit->time() : QTime();
}

bool DriveScannerPane::load(const QDomDocument &document, bool dialogOpening)
{
    qDebug() << "DriveScannerPane::load() called";
    m_document = document;
    const QDomElement element = currentElement(elementName());
    if (element.isNull()) {
        if (!dialogOpening)
            Q_EMIT driveScanTimeChanged(QTime());
        return true;
    }
    const QDomElement autoscan = element.firstChildElement(QStringLiteral("Autoscan"));
    if (autoscan.isNull()) {
        qWarning() << "DriveScannerPane::load() has no 'Autoscan' child element!";
        return true;
    }
    ui->checkBox->setChecked(autoscan.attribute(QStringLiteral("Enable")).toInt() != 0);
    const QTime time = timeFromText(autoscan.attribute(QStringLiteral("Time")));
    // An unreadable time keeps the editor's.
    if (time.isValid())
        ui->timeEdit->setTime(time);
    if (!dialogOpening)
        Q_EMIT driveScanTimeChanged(announcedTime());
    return true;
}

bool DriveScannerPane::apply()
{
    Q_EMIT driveScanTimeChanged(announcedTime());
    return true;
}

bool DriveScannerPane::save()
{
    qDebug() << "DriveScannerPane::save() called";
    QDomElement element = replaceElement(elementName());
    if (element.isNull()) {
        qWarning() << "DriveScannerPane::save() could not find our QDomElement!";
        return false;
    }
    QDomElement autoscan = m_document.createElement(QStringLiteral("Autoscan"));
    autoscan.setAttribute(QStringLiteral("Enable"), int(ui->checkBox->checkState()));
    autoscan.setAttribute(QStringLiteral("Time"), timeText(ui->timeEdit->time()));
    element.appendChild(autoscan);
    return true;
}
