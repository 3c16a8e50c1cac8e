#pragma once

#include "processes/winfinder.h"

#include <QList>
#include <QString>

// Takes one snapshot of the running processes per run and hands it over as
// process packed records (processes/processrecord.h), in the order the system
// lists them. Kernel threads and zombies are left out: neither has an
// executable to check.
class WinProcessFinder : public WinFinder
{
    Q_OBJECT

public:
    WinProcessFinder();

    // The snapshot; *ok is false when the system could not list its
    // processes, and the list is then empty.
    QList<QString> getProcesses(bool *ok = nullptr) const;

Q_SIGNALS:
    void currentProcessData(QList<QString>);

protected:
    void run() override;
};
