#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QLocalServer;
class QLockFile;
class QLocalSocket;

// One WinOrvex window per user: the first instance listens on a local socket in
// the user's runtime folder; a later start hands its arguments over through it
// and ends instead of opening a second window (and a second process monitor).
//
// Arguments travel as QDataStream strings, so the lossless form of a file name
// (platform/filename.h) arrives as it was sent.
class InstanceChannel : public QObject
{
    Q_OBJECT

public:
    // The socket of the current user: "winorvex.socket" in the runtime folder
    // ($XDG_RUNTIME_DIR, private to the user).
    static QString defaultSocketPath();

    explicit InstanceChannel(const QString &socketPath = defaultSocketPath(),
                             QObject *parent = nullptr);
    ~InstanceChannel() override;

    // Hands the arguments to the instance listening on the socket and waits
    // until it has taken them. False when none listens or it did not answer
    // in time: this instance should then run itself.
    bool forward(const QStringList &arguments, int timeoutMs = 5000);

    // Makes this the instance that others forward to. A socket file left by an
    // instance that crashed (nothing answers on it) is removed first. False
    // when another instance listens already, or the socket cannot be made.
    bool listen();

    QString socketPath() const { return m_socketPath; }

    // Arguments for another process that may run in another folder: relative
    // paths are made absolute from this process's current folder; options and
    // URLs stay as they are. Takes and gives the lossless form.
    static QStringList absoluteArguments(const QStringList &arguments);

signals:
    // A later start's arguments (paths to scan, "/minimize"), in the lossless form.
    void argumentsReceived(const QStringList &arguments);

private:
    void readRequest(QLocalSocket *socket);

    QString m_socketPath;
    QLocalServer *m_server = nullptr;
    std::unique_ptr<QLockFile> m_lock;
};
