#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGHUP, SIGINT and SIGTERM into Qt signals in the event loop. The
// handler only writes the signal number into a pipe whose other end a
// QSocketNotifier watches, the one thing a signal handler may safely do.
// One watcher at a time per process; the previous handlers come back when it
// is destroyed.
class UnixSignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignalWatcher(QObject *parent = nullptr);
    ~UnixSignalWatcher() override;

    bool isValid() const { return m_valid; }

Q_SIGNALS:
    void hangupReceived();
    void terminationRequested(int signalNumber);

private Q_SLOTS:
    void handleActivated();

private:
    int m_readFd = -1;
    int m_writeFd = -1;
    bool m_valid = false;
    QSocketNotifier *m_notifier = nullptr;
};
