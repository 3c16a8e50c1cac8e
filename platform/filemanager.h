#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>

// Shows a file selected in the desktop's file manager: the session bus's
// org.freedesktop.FileManager1.ShowItems, and when no file manager answers,
// xdg-open on the file's folder. Nothing waits for the file manager; failures
// are logged.
void revealInFileManager(const QString &path);

// The ShowItems arguments for path: a list holding the file's URI, and an empty
// startup id.
QVariantList showItemsArguments(const QString &path);

// The xdg-open arguments for path: its folder.
QStringList folderOpenArguments(const QString &path);

// Test seam: while set, revealInFileManager hands each path to reveal instead of
// the desktop. An empty function restores the desktop.
void setRevealInFileManagerForTesting(std::function<void(const QString &)> reveal);
