#pragma once

#include "app/preferencepane.h"

#include <memory>

namespace Ui {
class FormGeneralPane;
}

// Running at log-in and the weekly update check. Running at log-in lives in the
// desktop's autostart folder, not in the document: the entry there is the truth.
class GeneralPane : public PreferencePane
{
    Q_OBJECT

public:
    explicit GeneralPane(QWidget *parent = nullptr);
    ~GeneralPane() override;

    // The name of the autostart entry.
    static QString autorunName();

public Q_SLOTS:
    bool apply() override;
    bool save() override;
    bool load(const QDomDocument &document, bool dialogOpening) override;

private:
    std::unique_ptr<Ui::FormGeneralPane> ui;
};
