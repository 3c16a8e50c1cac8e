#pragma once

#include "server/serverlimits.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>

// The server's command line, read into plain values.
struct ServerOptions
{
    enum class Action { Run, ShowHelp, ShowVersion, Fail };

    static constexpr quint16 defaultRegistryPort = 43;

    Action action = Action::Run;
    QString message; // the help or version text, or what is wrong

    QHostAddress listenAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 registryPort = defaultRegistryPort;
    QString hashListPath;
    // Whether a reload may replace a list that holds digests with one that
    // holds none.
    bool acceptEmptyHashList = false;
    std::optional<quint16> updatePort;
    QString updateOfferPath;
    std::optional<quint16> reportPort;
    QString reportFilePath;
    std::optional<quint16> uploadPort;
    QString uploadDir;
    ServerLimits limits;

    // arguments[0] is the program name, as in QCoreApplication::arguments().
    static ServerOptions fromArguments(const QStringList &arguments);
};
