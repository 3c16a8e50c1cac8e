#include "server/referenceserver.h"
#include "server/serveroptions.h"
#include "server/unixsignalwatcher.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("winorvex-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(WINORVEX_VERSION));

    const ServerOptions options = ServerOptions::fromArguments(QCoreApplication::arguments());
    QTextStream out(stdout);
    switch (options.action) {
    case ServerOptions::Action::ShowHelp:
    case ServerOptions::Action::ShowVersion:
        out << options.message << Qt::endl;
        return 0;
    case ServerOptions::Action::Fail:
        std::fprintf(stderr, "winorvex-server: %s\nTry --help.\n", qPrintable(options.message));
        return 2;
    case ServerOptions::Action::Run:
        break;
    }

    UnixSignalWatcher signalWatcher;
    if (!signalWatcher.isValid())
        return 1;
    ReferenceServer server(options);
    QString error;
    if (!server.start(&error)) {
        qCritical().noquote() << QStringLiteral("winorvex-server: %1").arg(error);
        return 1;
    }
    QObject::connect(&signalWatcher, &UnixSignalWatcher::hangupReceived, &server,
                     &ReferenceServer::reload);
    QObject::connect(&signalWatcher, &UnixSignalWatcher::terminationRequested, &app,
                     &QCoreApplication::quit);
    for (const QString &line : server.listeningLines())
        out << line << Qt::endl;
    return QCoreApplication::exec();
}
