#pragma once

#include <QStringList>

// The program's start-up and shutdown around the main window.
class ApplicationEntry
{
public:
    static int run(int argc, char **argv);

    // "/minimize" anywhere among the arguments, compared case-sensitively.
    static bool startsMinimized(const QStringList &arguments);
};
