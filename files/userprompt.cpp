#include "files/userprompt.h"

#include <QFileDialog>

namespace {
struct Script
{
    bool scripted = false;
    QMessageBox::StandardButton button = QMessageBox::Ok;
    QStringList files;
    QString directory;
    QString saveFile;
    QString saveFilter;
    QList<UserPrompt::Shown> shown;
};

// GUI thread only, like the prompts themselves.
Script &script()
{
    static Script s;
    return s;
}

QMessageBox::StandardButton ask(QMessageBox::Icon icon, QWidget *parent, const QString &title,
                                const QString &text, QMessageBox::StandardButtons buttons,
                                QMessageBox::StandardButton defaultButton)
{
    if (script().scripted) {
        script().shown.append({icon, title, text, defaultButton});
        return script().button;
    }
    QMessageBox box(icon, title, text, buttons, parent);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}
} // namespace

QMessageBox::StandardButton UserPrompt::information(QWidget *parent, const QString &title,
                                                    const QString &text,
                                                    QMessageBox::StandardButtons buttons,
                                                    QMessageBox::StandardButton defaultButton)
{
    return ask(QMessageBox::Information, parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton UserPrompt::warning(QWidget *parent, const QString &title,
                                                const QString &text,
                                                QMessageBox::StandardButtons buttons,
                                                QMessageBox::StandardButton defaultButton)
{
    return ask(QMessageBox::Warning, parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton UserPrompt::critical(QWidget *parent, const QString &title,
                                                 const QString &text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton)
{
    return ask(QMessageBox::Critical, parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton UserPrompt::question(QWidget *parent, const QString &title,
                                                 const QString &text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton)
{
    return ask(QMessageBox::Question, parent, title, text, buttons, defaultButton);
}

QStringList UserPrompt::openFileNames(QWidget *parent, const QString &caption,
                                      const QString &folder)
{
    if (script().scripted)
        return script().files;
    return QFileDialog::getOpenFileNames(parent, caption, folder);
}

QString UserPrompt::existingDirectory(QWidget *parent, const QString &caption,
                                      const QString &folder)
{
    if (script().scripted)
        return script().directory;
    return QFileDialog::getExistingDirectory(parent, caption, folder);
}

QString UserPrompt::saveFileName(QWidget *parent, const QString &caption, const QString &folder,
                                 const QString &filter, QString *selectedFilter)
{
    if (script().scripted) {
        if (selectedFilter)
            *selectedFilter = script().saveFilter;
        return script().saveFile;
    }
    return QFileDialog::getSaveFileName(parent, caption, folder, filter, selectedFilter);
}

void UserPrompt::setScripted(bool scripted)
{
    script() = Script{};
    script().scripted = scripted;
}

void UserPrompt::setScriptedButton(QMessageBox::StandardButton button)
{
    script().button = button;
}

void UserPrompt::setScriptedFiles(const QStringList &files)
{
    script().files = files;
}

void UserPrompt::setScriptedDirectory(const QString &folder)
{
    script().directory = folder;
}

void UserPrompt::setScriptedSaveFile(const QString &file, const QString &selectedFilter)
{
    script().saveFile = file;
    script().saveFilter = selectedFilter;
}

QList<UserPrompt::Shown> UserPrompt::takeShown()
{
    return std::exchange(script().shown, {});
}
