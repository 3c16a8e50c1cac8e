#include "app/applicationentry.h"

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
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(resources);
    QApplication::setApplicationName(QStringLiteral("WinOrvex"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":img/icons/WinOrvex/256.png")));

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
