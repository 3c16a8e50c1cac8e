#include "app/applicationentry.h"

#include "app/headlessscan.h"
#include "app/mainwindow.h"
#include "app/processcheck.h"
#include "platform/elevation.h"

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
        const QUrl url(argument);
        const QString path = url.isLocalFile() ? url.toLocalFile() : argument;
        const QFileInfo item(path);
        if (!path.isEmpty() && item.exists()) {
            paths.items << item;
            continue;
        }
        qWarning().noquote()
            << QStringLiteral("ApplicationEntry::pathsToScan() ignoring '%1'").arg(argument);
        paths.missing << (path.isEmpty() ? argument : path);
    }
    return paths;
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

    const QString plugins =
        QStringLiteral("%1/plugins").arg(QCoreApplication::applicationDirPath());
    QCoreApplication::addLibraryPath(plugins);
    qDebug().noquote() << QStringLiteral("Added |%1| to the library paths").arg(plugins);

    auto window = std::make_unique<MainWindow>();
    window->setWindowIcon(QApplication::windowIcon());

    if (startsMinimized(QCoreApplication::arguments()))
        window->runMinimized(false);
    else
        window->show();

    const CommandLinePaths paths = pathsToScan(QCoreApplication::arguments());
    QTimer::singleShot(0, window.get(), [&window, paths] {
        // Started by pkexec for an instance that waits to close: this one runs.
        Elevation::announceStarted();
        window->openCommandLinePaths(paths.items, paths.missing);
    });

    const int exitCode = QApplication::exec();
    window.reset();
    return exitCode;
}
