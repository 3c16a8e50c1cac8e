#include "platform/autostartentry.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// The characters that a quoted Exec argument escapes with a backslash.
bool isQuotedSpecial(QChar c)
{
    return c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
           c == QLatin1Char('\\');
}

// The general escapes of a string value, applied before the Exec quoting.
QString escapeString(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            escaped += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            escaped += QLatin1String("\\n");
        else if (c == QLatin1Char('\t'))
            escaped += QLatin1String("\\t");
        else if (c == QLatin1Char('\r'))
            escaped += QLatin1String("\\r");
        else
            escaped += c;
    }
    return escaped;
}

QString unescapeString(const QString &text)
{
    QString plain;
    plain.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\\') || i + 1 == text.size()) {
            plain += c;
            continue;
        }
        const QChar next = text.at(++i);
        if (next == QLatin1Char('s'))
            plain += QLatin1Char(' ');
        else if (next == QLatin1Char('n'))
            plain += QLatin1Char('\n');
        else if (next == QLatin1Char('t'))
            plain += QLatin1Char('\t');
        else if (next == QLatin1Char('r'))
            plain += QLatin1Char('\r');
        else if (next == QLatin1Char('\\'))
            plain += QLatin1Char('\\');
        else
            plain += QStringView(text).mid(i - 1, 2);
    }
    return plain;
}

// The keys of the [Desktop Entry] group, values as written (still escaped).
QHash<QString, QString> desktopEntryKeys(const QByteArray &content)
{
    QHash<QString, QString> keys;
    bool inEntry = false;
    for (const QByteArray &rawLine : content.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inEntry || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        // The first occurrence counts; a file with a key twice is invalid anyway.
        if (!keys.contains(key))
            keys.insert(key, line.mid(equals + 1).trimmed());
    }
    return keys;
}

} // namespace

QString AutostartEntry::path(const QString &valueName)
{
    // $XDG_CONFIG_HOME, or ~/.config when it is not set.
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QDir(config).filePath(QStringLiteral("autostart/%1.desktop").arg(valueName));
}

QString AutostartEntry::execValue(const QString &program)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (isQuotedSpecial(c))
            quoted += QLatin1Char('\\');
        else if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    quoted += QLatin1String("\" /minimize");
    return escapeString(quoted);
}

QStringList AutostartEntry::execArguments(const QString &value)
{
    const QString text = unescapeString(value);
    QStringList arguments;
    QString current;
    bool inArgument = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('"')) {
            inArgument = true;
            bool closed = false;
            for (++i; i < text.size(); ++i) {
                const QChar q = text.at(i);
                if (q == QLatin1Char('\\') && i + 1 < text.size() &&
                    isQuotedSpecial(text.at(i + 1))) {
                    current += text.at(++i);
                } else if (q == QLatin1Char('"')) {
                    closed = true;
                    break;
                } else {
                    current += q;
                }
            }
            if (!closed)
                return {};
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inArgument)
                arguments << current;
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument)
        arguments << current;
    // Field codes are expanded after unquoting; the only one a path can hold is "%%".
    for (QString &argument : arguments)
        argument.replace(QLatin1String("%%"), QLatin1String("%"));
    return arguments;
}

QByteArray AutostartEntry::entryText(const QString &program)
{
    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Name=WinOrvex\n"
                                  "Comment=Checks files and running programs for known malware\n");
    text += QStringLiteral("Exec=%1\n").arg(execValue(program));
    text += QStringLiteral("Icon=winorvex\n"
                           "Terminal=false\n"
                           "X-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}

bool AutostartEntry::isAutorunRegistered(const QString &valueName, const QString &program)
{
    QFile file(path(valueName));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QHash<QString, QString> keys = desktopEntryKeys(file.readAll());
    // Switched off by the user in the desktop's start-up settings.
    if (keys.value(QStringLiteral("Hidden")) == QLatin1String("true") ||
        keys.value(QStringLiteral("X-GNOME-Autostart-enabled")) == QLatin1String("false"))
        return false;
    const QStringList arguments = execArguments(keys.value(QStringLiteral("Exec")));
    return !arguments.isEmpty() && arguments.first() == program;
}

bool AutostartEntry::setAutorun(const QString &valueName, const QString &program)
{
    const QString entry = path(valueName);
    const QString folder = QFileInfo(entry).absolutePath();
    if (!QDir().mkpath(folder)) {
        qWarning().noquote() << QStringLiteral(
                                    "AutostartEntry::setAutorun() could not create the folder '%1'")
                                    .arg(folder);
        return false;
    }
    QSaveFile file(entry);
    const QByteArray text = entryText(program);
    // Flushed before the commit, which in Qt 6.4 loses an error of its last flush.
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush() ||
        !file.commit()) {
        qWarning().noquote() << QStringLiteral("AutostartEntry::setAutorun() could not write "
                                               "'%1': %2")
                                    .arg(entry, file.errorString());
        return false;
    }
    return true;
}

void AutostartEntry::removeAutorun(const QString &valueName)
{
    QFile file(path(valueName));
    if (file.exists() && !file.remove())
        qWarning().noquote() << QStringLiteral(
                                    "AutostartEntry::removeAutorun() could not remove '%1': %2")
                                    .arg(file.fileName(), file.errorString());
}
