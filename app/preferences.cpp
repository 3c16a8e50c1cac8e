#include "app/preferences.h"

#include "app/drivescannerpane.h"
#include "app/generalpane.h"
#include "ui_preferences.h"

#include <QDebug>
#include <QVBoxLayout>

Preferences::Preferences(QWidget *parent) : QDialog(parent), ui(std::make_unique<Ui::Preferences>())
{
    ui->setupUi(this);
    m_generalPane = new GeneralPane(ui->groupBox_general);
    ui->verticalLayout_general->addWidget(m_generalPane);
    m_driveScannerPane = new DriveScannerPane(ui->groupBox_drive_scanner);
    ui->verticalLayout_drive_scanner->addWidget(m_driveScannerPane);
    m_panes << m_generalPane << m_driveScannerPane;

    connect(m_driveScannerPane, &DriveScannerPane::driveScanTimeChanged, this,
            &Preferences::driveScanTimeChanged);
    for (PreferencePane *pane : std::as_const(m_panes))
        connect(pane, &PreferencePane::setPreference, this, &Preferences::setUserPreference);
}

Preferences::~Preferences() = default;

void Preferences::setDomDocument(const QDomDocument &document)
{
    m_document = document;
    for (PreferencePane *pane : std::as_const(m_panes)) {
        if (!pane) {
            qWarning() << "Preferences::setDomDocument() had a NULL pane.";
            continue;
        }
        pane->setDomDocument(document);
    }
}

void Preferences::load(const QDomDocument &document, bool dialogOpening)
{
    qDebug() << "Preferences::load() called";
    setDomDocument(document);
    for (PreferencePane *pane : std::as_const(m_panes)) {
        if (!pane) {
            qWarning() << "Preferences had a NULL pane.";
            continue;
        }
        pane->load(document, dialogOpening);
    }
}

int Preferences::exec()
{
    const int result = QDialog::exec();
    if (result == QDialog::Accepted) {
        for (PreferencePane *pane : std::as_const(m_panes)) {
            pane->apply();
            pane->save();
        }
    }
    return result;
}
