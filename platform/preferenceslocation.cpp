#include "platform/preferenceslocation.h"

#include <QDebug>
#include <QDir>
#include <QStandardPaths>

QString PreferencesLocation::filePath()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return QString();
    QDir folder(data);
    if (!folder.cd(QStringLiteral("WinOrvex"))) {
        if (!folder.mkpath(QStringLiteral("WinOrvex"))) {
            qWarning().noquote() << QStringLiteral("Could not create directory to store the "
                                                   "preferences file under '%1'")
                                        .arg(folder.absolutePath());
            return QString();
        }
        if (!folder.cd(QStringLiteral("WinOrvex"))) {
            qWarning() << "Created preferences directory, but can not enter it.";
            return QString();
        }
    }
    return folder.absoluteFilePath(QStringLiteral("Preferences.xml"));
}
