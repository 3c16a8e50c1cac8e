#pragma once

#include <QString>
#include <QtGlobal>

// Where a remote service lives: the build's default, unless the environment
// variable of that service holds "host:port" (IPv6 hosts in brackets).
struct ServerAddress
{
    QString host;
    quint16 port = 0;

    static ServerAddress registry();
    static ServerAddress updateServer();
    static ServerAddress reportServer();
    static ServerAddress uploadServer();

    // The address from the variable's text, or the fallback when the text is
    // empty or malformed (a malformed value is logged).
    static ServerAddress fromText(const QString &text, const ServerAddress &fallback,
                                  const char *variableName = "");
};
