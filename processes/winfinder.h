#pragma once

#include <QThread>

// Base of the threads that take a snapshot of the operating system's objects
// (processes here, the modules of processes elsewhere). Each run takes one
// snapshot; the owner starts the thread again for the next.
class WinFinder : public QThread
{
    Q_OBJECT

public:
    explicit WinFinder(QObject *parent = nullptr);
    ~WinFinder() override;
};
