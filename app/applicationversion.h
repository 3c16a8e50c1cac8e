#pragma once

#include <QString>

// The version the window, the command line and the export's first line report.
inline QString applicationVersion()
{
    return QStringLiteral("beta 2");
}
