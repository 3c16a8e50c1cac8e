#include "platform/elevation.h"

#include <QDebug>
#include <QProcess>

QStringList elevationArguments(const QString &executable, const QProcessEnvironment &environment)
{
    // pkexec clears the environment, so the display variables travel through env(1).
    QStringList arguments{QStringLiteral("env")};
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "XDG_RUNTIME_DIR"}) {
        const QString key = QString::fromLatin1(name);
        if (environment.contains(key))
            arguments << key + QLatin1Char('=') + environment.value(key);
    }
    arguments << executable;
    return arguments;
}

bool startElevated(const QString &executable, const QString &context)
{
    QProcess process;
    process.setProgram(QStringLiteral("pkexec"));
    process.setArguments(elevationArguments(executable, QProcessEnvironment::systemEnvironment()));
    if (!process.startDetached()) {
        qWarning().noquote() << QStringLiteral("%1 failed: %2").arg(context, process.errorString());
        return false;
    }
    return true;
}
