#include "platform/systemerror.h"

#include <QDebug>

#include <cerrno>
#include <cstring>

QString systemErrorText(int errorNumber)
{
    // strerror_r's GNU flavour may return a static string instead of filling buf.
    char buffer[256] = {};
    const char *message = strerror_r(errorNumber, buffer, sizeof buffer);
    return QString::fromLocal8Bit(message).trimmed();
}

QString systemErrorLine(const QString &context, int errorNumber)
{
    return QStringLiteral("SYSTEM API Error for '%1' [%2]: '%3'")
        .arg(context)
        .arg(errorNumber)
        .arg(systemErrorText(errorNumber));
}

void logSystemError(const QString &context, int errorNumber)
{
    qWarning().noquote() << systemErrorLine(context, errorNumber);
}

void logSystemError(const QString &context)
{
    logSystemError(context, errno);
}
