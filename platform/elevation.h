#pragma once

#include "platform/uniquefd.h"

#include <QByteArray>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTimer>

class QSocketNotifier;

// Starts the program again with administrator rights through pkexec and follows
// it until the elevated instance runs. pkexec asks for a password first, and the
// user may cancel or fail; only the elevated instance itself can say that it
// came up, with one line on its standard output, which pkexec leaves connected
// to the instance that started it (announceStarted()).
class Elevation : public QObject
{
    Q_OBJECT

public:
    explicit Elevation(QObject *parent = nullptr);
    ~Elevation() override;

    // Starts pkexec on `executable`. False, with the reason in errorString(),
    // when pkexec cannot be started at all; the signals below follow otherwise.
    bool start(const QString &executable);
    QString errorString() const { return m_errorString; }
    // The pkexec process, which becomes the elevated instance; 0 before start().
    qint64 processId() const { return m_pid; }

    // pkexec's arguments for `executable`: env(1) carrying the display
    // variables that `environment` holds and the request to announce the start.
    static QStringList arguments(const QString &executable, const QProcessEnvironment &environment);

    // In the elevated instance: when start() asked for it, tells the waiting
    // instance that this one runs, then lets go of the channel.
    static void announceStarted();
    // The line the elevated instance writes, without its line end.
    static QByteArray startedLine();

Q_SIGNALS:
    // The elevated instance runs.
    void started();
    // pkexec ended with 126 (the password dialog was dismissed) or 127 (not
    // authorised): no elevated instance.
    void refused(int exitStatus);
    // Ended in another way before the elevated instance ran; `reason` says how.
    void failed(const QString &reason);

private:
    void readChannel();
    void collectExit();

    qint64 m_pid = 0;
    UniqueFd m_channel;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_received;
    QTimer m_exitPoll;
    QString m_errorString;
};
