#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// A copy of the system's "sleep" in a test folder, with bytes of its own
// appended (the program still runs) so that its digests are its own.
struct ProgramCopy
{
    QString path;
    QByteArray bytes;
    QString md5;
    QString sha1;

    // Empty path when sleep cannot be found or copied.
    static ProgramCopy make(const QString &folder, const QString &name, const QByteArray &tag);
    // Replaces the file at path by another program, as an update does: a new
    // file renamed over the old one, which the running processes keep.
    static bool replace(const QString &path, const QByteArray &bytes);
};

// A copy of the suite's test library (a real shared library) in a test folder,
// with bytes of its own appended (it still loads) so that its digests are its own.
struct LibraryCopy
{
    QString path;
    QByteArray bytes;
    QString md5;
    QString sha1;

    // Empty path when the library cannot be copied.
    static LibraryCopy make(const QString &folder, const QString &name, const QByteArray &tag);
};

// Child processes of the test that sleep until they are stopped.
class Sleepers
{
public:
    ~Sleepers();
    // Starts the program; 0 when it did not start.
    quint32 start(const QString &program, const QStringList &arguments = {"60"});
    // Starts the module loader on these libraries and waits until it has
    // loaded them; 0 when it did not start or could not load one.
    quint32 startLoader(const QStringList &libraries);
    // The program that startLoader() runs.
    static QString loaderPath();
    void stop(quint32 pid);
    void stopAll();
    // The process packed record of a child ("pid|name|parent pid").
    static QString record(quint32 pid, const QString &program);

private:
    std::vector<std::unique_ptr<QProcess>> m_children;
};

// Every message logged while it lives, from any thread (the usual output too).
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    int count(const QString &part) const;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message);
    QtMessageHandler m_previous;
    mutable QMutex m_mutex;
    QStringList m_lines;
};
