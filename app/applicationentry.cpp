#include "app/applicationentry.h"

#include "app/headlessscan.h"
#include "app/mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QDir>

#include <memory>

bool ApplicationEntry::startsMinimized(const QStringList &arguments)
{
    return arguments.contains(QStringLiteral("/minimize"), Qt::CaseSensitive);
}

int ApplicationEntry::run(int argc, char **argv)
{
    // A command-line scan, help or version needs no display.
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

    const int exitCode = QApplication::exec();
    window.reset();
    return exitCode;
}
