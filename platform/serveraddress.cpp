#include "platform/serveraddress.h"

#include <QDebug>

namespace {
ServerAddress fromEnvironment(const char *variable, const char *defaultHost, quint16 defaultPort)
{
    const ServerAddress fallback{QString::fromLatin1(defaultHost), defaultPort};
    return ServerAddress::fromText(qEnvironmentVariable(variable), fallback, variable);
}
} // namespace

ServerAddress ServerAddress::registry()
{
    return fromEnvironment("WINORVEX_REGISTRY", WINORVEX_REGISTRY_HOST, 43);
}

ServerAddress ServerAddress::updateServer()
{
    return fromEnvironment("WINORVEX_UPDATE_SERVER", WINORVEX_UPDATE_HOST, 57777);
}

ServerAddress ServerAddress::reportServer()
{
    return fromEnvironment("WINORVEX_REPORT_SERVER", WINORVEX_REPORT_HOST, 57770);
}

ServerAddress ServerAddress::uploadServer()
{
    return fromEnvironment("WINORVEX_UPLOAD_SERVER", WINORVEX_UPLOAD_HOST, 57773);
}

ServerAddress ServerAddress::fromText(const QString &text, const ServerAddress &fallback,
                                      const char *variableName)
{
    const QString value = text.trimmed();
    if (value.isEmpty())
        return fallback;

    const int colon = value.lastIndexOf(QLatin1Char(':'));
    QString host = value.left(colon);
    bool portOk = false;
    const uint port = colon > 0 ? value.mid(colon + 1).toUInt(&portOk) : 0;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (colon <= 0 || !portOk || port == 0 || port > 65535 || host.isEmpty()) {
        qWarning().noquote() << QStringLiteral(
                                    "ServerAddress ignoring malformed %1='%2', using %3:%4")
                                    .arg(QString::fromLatin1(variableName), value, fallback.host)
                                    .arg(fallback.port);
        return fallback;
    }
    return ServerAddress{host, static_cast<quint16>(port)};
}
