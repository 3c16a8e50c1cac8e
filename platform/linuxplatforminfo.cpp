#include "platform/linuxplatforminfo.h"

#include "platform/systemerror.h"

#include <QProcessEnvironment>
#include <QRegularExpression>

#include <sys/utsname.h>
#include <unistd.h>

int LinuxPlatformInfo::versionCode() const
{
    struct utsname name;
    if (uname(&name) != 0) {
        logSystemError(QStringLiteral("LinuxPlatformInfo::versionCode() uname"));
        return 0;
    }
    return versionCodeFromRelease(QString::fromLatin1(name.release));
}

bool LinuxPlatformInfo::isAdministrator() const
{
    return geteuid() == 0;
}

bool LinuxPlatformInfo::is64BitWindows() const
{
    return QProcessEnvironment::systemEnvironment().contains(QStringLiteral("PROGRAMW6432"));
}

int LinuxPlatformInfo::versionCodeFromRelease(const QString &release)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})"));
    const QRegularExpressionMatch match = pattern.match(release);
    if (!match.hasMatch())
        return 0;
    const int major = match.captured(1).toInt();
    const int minor = match.captured(2).toInt();
    if (major > 255 || minor > 255)
        return 0;
    return major * 256 + minor;
}
