#pragma once

#include <QString>
#include <QStringList>

// Running at log-in: an XDG autostart entry, $XDG_CONFIG_HOME/autostart/<name>.desktop,
// that starts the program minimised. Only an entry that names the given program
// and that the user has not switched off counts as registered.
class AutostartEntry
{
public:
    // The entry's file for a value name ("WinOrvex" gives ".../autostart/WinOrvex.desktop").
    static QString path(const QString &valueName);

    static bool isAutorunRegistered(const QString &valueName, const QString &program);
    // Writes the entry whole (or leaves the old one): false when it cannot.
    static bool setAutorun(const QString &valueName, const QString &program);
    static void removeAutorun(const QString &valueName);

    // The Exec value for the program: its path quoted by the Desktop Entry
    // rules, then " /minimize"; escaped as a string value of the file.
    static QString execValue(const QString &program);
    // The arguments of an Exec value as written in the file, unescaped and
    // unquoted by the same rules; empty when the value is malformed.
    static QStringList execArguments(const QString &value);
    // The whole file written for the program.
    static QByteArray entryText(const QString &program);
};
