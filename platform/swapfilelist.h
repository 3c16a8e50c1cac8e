#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The swap files of the running system, which a quick scan leaves out (they
// stand in for the page and hibernation files of other systems).
class SwapFileList
{
public:
    // The file-backed swap areas listed in /proc/swaps text, in order, with the
    // kernel's escapes undone. Swap partitions are not files and are left out.
    static QList<QString> parse(const QByteArray &procSwapsText);

    // The live list; an unreadable file is logged and gives an empty list.
    static QList<QString> read(const QString &procSwapsPath = QStringLiteral("/proc/swaps"));
};
