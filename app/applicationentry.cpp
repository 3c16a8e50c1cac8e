#include "app/applicationentry.h"

#include "app/headlessscan.h"
#include "app/instancechannel.h"
#include "app/mainwindow.h"
#include "app/processcheck.h"
#include "platform/elevation.h"
#include "platform/filename.h"
#include "platform/filestatus.h"
#include "platform/stopsignalwatcher.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QTimer>
#include <QUrl>

#include <memory>

bool ApplicationEntry::startsMinimized(const QStringList &arguments)
{
    return arguments.contains(QStringLiteral("/minimize"), Qt::CaseSensitive);
}

ApplicationEntry::CommandLinePaths ApplicationEntry::pathsToScan(const QStringList &arguments)
{
    CommandLinePaths paths;
    for (const QString &argument : arguments.mid(1)) {
        if (argument == QLatin1String("/minimize"))
            continue;
        // A file manager may pass URLs; their percent-encoded bytes name the
        // file, whatever they hold.
        const QUrl url(argument);
        const QString given = url.isLocalFile() ? FileName::fromLocalFileUrl(url) : argument;
        const QString path = FileName::absolute(given);
        if (!path.isEmpty() && FileStatus::of(path).exists()) {
            paths.items << QFileInfo(path);
            continue;
        }
        qWarning().noquote() << QStringLiteral("ApplicationEntry::pathsToScan() ignoring '%1'")
                                    .arg(FileName::readable(argument));
        paths.missing << (given.isEmpty() ? argument : given);
    }
    return paths;
}

QObject *ApplicationEntry::closeOnStopSignals(QWidget *window)
{
    auto *watcher = new StopSignalWatcher(window);
    QObject::connect(watcher, &StopSignalWatcher::stopRequested, window, [window](int signal) {
        qDebug().noquote()
            << QStringLiteral("ApplicationEntry: signal %1, closing the window").arg(signal);
        window->close();
        // A window hidden behind its tray icon is not the last visible one.
        QCoreApplication::quit();
    });
    return watcher;
}

int ApplicationEntry::run(int argc, char **argv)
{
    // A command-line check, scan, help or version needs no display.
    if (ProcessCheck::handlesArguments(argc, argv))
        return ProcessCheck::run(argc, argv);
    if (HeadlessScan::handlesArguments(argc, argv))
        return HeadlessScan::run(argc, argv);
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(resources);
    QApplication::setApplicationName(QStringLiteral("WinOrvex"));
    QIcon appIcon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        appIcon.addFile(QStringLiteral(":img/icons/WinOrvex/%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(appIcon);

    // One window per user: a later start hands its paths over and ends.
    InstanceChannel channel;
    const QStringList forwarded =
        InstanceChannel::absoluteArguments(FileName::fromArguments(argc, argv).mid(1));
    if (channel.forward(forwarded) || (!channel.listen() && channel.forward(forwarded)))
        return 0;

    const QString plugins =
        QStringLiteral("%1/plugins").arg(QCoreApplication::applicationDirPath());
    QCoreApplication::addLibraryPath(plugins);
    qDebug().noquote() << QStringLiteral("Added |%1| to the library paths").arg(plugins);

    auto window = std::make_unique<MainWindow>();
    window->setWindowIcon(QApplication::windowIcon());
    window->loadStartupPreferences();
    closeOnStopSignals(window.get());

    if (startsMinimized(QCoreApplication::arguments()))
        window->runMinimized(false);
    else
        window->show();

    // QCoreApplication::arguments() has decoded the names lossily.
    const CommandLinePaths paths = pathsToScan(FileName::fromArguments(argc, argv));
    QTimer::singleShot(0, window.get(), [&window, paths] {
        // Started by pkexec for an instance that waits to close: this one runs.
        Elevation::announceStarted();
        window->openCommandLinePaths(paths.items, paths.missing);
    });

    QObject::connect(&channel, &InstanceChannel::argumentsReceived, window.get(),
                     [&window](const QStringList &arguments) {
                         if (window->isHidden() || window->isMinimized())
                             window->runMaximized();
                         window->raise();
                         window->activateWindow();
                         const CommandLinePaths paths =
                             pathsToScan(QStringList{QString()} + arguments);
                         window->openCommandLinePaths(paths.items, paths.missing);
                     });

    const int exitCode = QApplication::exec();
    window.reset();
    return exitCode;
}
