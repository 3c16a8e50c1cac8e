#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

// Every modal question the Files tab and its view put to the user: message boxes
// and file dialogs. Tests switch on scripted mode, in which nothing is shown: each
// prompt is recorded and answered with the scripted reply.
class UserPrompt
{
public:
    struct Shown
    {
        QMessageBox::Icon icon;
        QString title;
        QString text;
        // The button Enter presses; NoButton leaves the choice to the style.
        QMessageBox::StandardButton defaultButton;
    };

    static QMessageBox::StandardButton
    information(QWidget *parent, const QString &title, const QString &text,
                QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static QMessageBox::StandardButton
    warning(QWidget *parent, const QString &title, const QString &text,
            QMessageBox::StandardButtons buttons = QMessageBox::Ok,
            QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static QMessageBox::StandardButton
    critical(QWidget *parent, const QString &title, const QString &text,
             QMessageBox::StandardButtons buttons = QMessageBox::Ok,
             QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static QMessageBox::StandardButton
    question(QWidget *parent, const QString &title, const QString &text,
             QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No,
             QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

    static QStringList openFileNames(QWidget *parent, const QString &caption,
                                     const QString &folder);
    static QString existingDirectory(QWidget *parent, const QString &caption,
                                     const QString &folder);
    static QString saveFileName(QWidget *parent, const QString &caption, const QString &folder,
                                const QString &filter, QString *selectedFilter = nullptr);

    // Test seam.
    static void setScripted(bool scripted);
    // The button that every scripted message box answers (default: Ok).
    static void setScriptedButton(QMessageBox::StandardButton button);
    // What the scripted file dialogs return; an empty answer stands for Cancel.
    static void setScriptedFiles(const QStringList &files);
    static void setScriptedDirectory(const QString &folder);
    static void setScriptedSaveFile(const QString &file, const QString &selectedFilter = QString());
    // The message boxes shown since the last call, oldest first.
    static QList<Shown> takeShown();
};
