#pragma once

#include "platform/uniquefd.h"

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal in the event loop, so that a
// command-line run can stop its workers the designed way. The handler only
// writes the signal number into a pipe that a QSocketNotifier watches. Each
// handler is installed for one delivery only: a second Ctrl+C while the stop
// is under way ends the process at once, the way the user expects.
// One watcher at a time per process; the previous handlers come back when it
// is destroyed. A signal that was ignored when the watcher was made (a
// background job of a non-interactive shell ignores SIGINT) stays ignored.
class StopSignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit StopSignalWatcher(QObject *parent = nullptr);
    ~StopSignalWatcher() override;

    bool isValid() const { return m_valid; }

Q_SIGNALS:
    void stopRequested(int signalNumber);

private Q_SLOTS:
    void handleActivated();

private:
    UniqueFd m_readFd;
    UniqueFd m_writeFd;
    bool m_valid = false;
    bool m_installed = false;
    QSocketNotifier *m_notifier = nullptr;
};
