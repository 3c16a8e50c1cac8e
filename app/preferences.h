#pragma once

#include <QDialog>
#include <QDomDocument>
#include <QList>
#include <QTime>
#include <QVariant>

#include <memory>

class DriveScannerPane;
class GeneralPane;
class PreferencePane;

namespace Ui {
class Preferences;
}

// The preferences dialog: the general pane and the drive-scanner pane over the
// shared preferences document. Accepting puts the panes into effect and writes
// them into the document; the file is written when the main window closes.
class Preferences : public QDialog
{
    Q_OBJECT

public:
    explicit Preferences(QWidget *parent = nullptr);
    ~Preferences() override;

    void setDomDocument(const QDomDocument &document);
    void load(const QDomDocument &document, bool dialogOpening);

    GeneralPane *generalPane() const { return m_generalPane; }
    DriveScannerPane *driveScannerPane() const { return m_driveScannerPane; }

Q_SIGNALS:
    void driveScanTimeChanged(QTime time);
    void setUserPreference(int preference, QVariant value);

public Q_SLOTS:
    int exec() override;

private:
    std::unique_ptr<Ui::Preferences> ui;
    GeneralPane *m_generalPane;
    DriveScannerPane *m_driveScannerPane;
    QList<PreferencePane *> m_panes;
    QDomDocument m_document;
};
