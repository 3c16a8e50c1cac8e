#include "app/generalpane.h"

#include "platform/autostartentry.h"
#include "services/softwareupdater.h"
#include "ui_generalpane.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>

namespace {
QString program()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
}
} // namespace

GeneralPane::GeneralPane(QWidget *parent)
    : PreferencePane(QStringLiteral("General"), parent), ui(std::make_unique<Ui::FormGeneralPane>())
{
    ui->setupUi(this);
}

GeneralPane::~GeneralPane() = default;

QString GeneralPane::autorunName()
{
    return QStringLiteral("WinOrvex");
}

bool GeneralPane::load(const QDomDocument &document, bool dialogOpening)
{
    qDebug() << "GeneralPane::load() called";
    m_document = document;
    ui->checkBox_autorun->setChecked(AutostartEntry::isAutorunRegistered(autorunName(), program()));
    if (dialogOpening) {
        ui->checkBox_update->setChecked(SoftwareUpdater::isAutomaticUpdateCheckEnabled());
        return true;
    }
    // Weekly checks are on unless the user switched them off: a file written
    // before the dialog was ever accepted has no General element.
    Qt::CheckState check = Qt::Checked;
    const QDomElement element = currentElement(elementName());
    if (!element.isNull()) {
        const QDomElement update = element.firstChildElement(QStringLiteral("AutomaticUpdate"));
        if (update.isNull()) {
            qWarning() << "GeneralPane::load() has no 'AutomaticUpdate' child element!";
        } else {
            check = update.attribute(QStringLiteral("Check")).toInt() == Qt::Checked
                        ? Qt::Checked
                        : Qt::Unchecked;
        }
    }
    ui->checkBox_update->setCheckState(check);
    Q_EMIT setPreference(AutomaticUpdateCheck, check == Qt::Checked);
    return true;
}

bool GeneralPane::apply()
{
    const bool registered = AutostartEntry::isAutorunRegistered(autorunName(), program());
    if (ui->checkBox_autorun->isChecked() && !registered)
        AutostartEntry::setAutorun(autorunName(), program());
    else if (!ui->checkBox_autorun->isChecked() && registered)
        AutostartEntry::removeAutorun(autorunName());

    const bool automatic = SoftwareUpdater::isAutomaticUpdateCheckEnabled();
    if (ui->checkBox_update->isChecked() && !automatic)
        Q_EMIT setPreference(AutomaticUpdateCheck, true);
    else if (!ui->checkBox_update->isChecked() && automatic)
        Q_EMIT setPreference(AutomaticUpdateCheck, false);
    return true;
}

bool GeneralPane::save()
{
    qDebug() << "GeneralPane::save() called";
    QDomElement element = replaceElement(elementName());
    if (element.isNull()) {
        qWarning() << "GeneralPane::save() could not find our QDomElement!";
        return false;
    }
    QDomElement autorun = m_document.createElement(QStringLiteral("Autorun"));
    autorun.setAttribute(QStringLiteral("State"), int(ui->checkBox_autorun->checkState()));
    element.appendChild(autorun);
    QDomElement update = m_document.createElement(QStringLiteral("AutomaticUpdate"));
    update.setAttribute(QStringLiteral("Check"), int(ui->checkBox_update->checkState()));
    element.appendChild(update);
    return true;
}
