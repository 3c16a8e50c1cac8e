#pragma once

#include <QFileInfo>
#include <QList>
#include <QStringList>

class QObject;
class QWidget;

// The program's start-up and shutdown around the main window.
class ApplicationEntry
{
public:
    static int run(int argc, char **argv);

    // "/minimize" anywhere among the arguments, compared case-sensitively.
    static bool startsMinimized(const QStringList &arguments);

    struct CommandLinePaths
    {
        // To be scanned as if dropped on the window.
        QList<QFileInfo> items;
        // Named on the command line but not there, as they were given.
        QStringList missing;
    };

    // The files and folders named on the command line (as a file manager's
    // "Open With" passes them, plain or as file URLs).
    static CommandLinePaths pathsToScan(const QStringList &arguments);

    // SIGTERM (a session ending, kill) and SIGINT close the window the way Quit
    // does, so that what it keeps between runs is written. Returns the watcher,
    // owned by the window.
    static QObject *closeOnStopSignals(QWidget *window);
};
