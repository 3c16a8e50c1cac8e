#pragma once

#include "app/terminallines.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class QIODevice;
class QTextStream;

// "winorvex --scan [--quick] [--format text|csv|tsv|json] PATH...": the
// command-line face of the file scan. The Files tab's sequence does the work
// (FileScanPipeline over a file results table, a registry handler with its
// cache); the verdicts go to standard output, streamed from the table, and the
// exit status tells a script what was found.
class HeadlessScan : public QObject
{
    Q_OBJECT

public:
    enum ExitStatus { NothingMalicious = 0, MalwareFound = 1, Failed = 2 };
    enum class Format { Text, Csv, Tsv, Json };

    // Writes results to out and messages (and progress, when shown) to err.
    HeadlessScan(QIODevice *out, QIODevice *err, QObject *parent = nullptr);
    ~HeadlessScan() override;

    // True when the command line asks for this mode (--scan, --help or
    // --version) rather than for the window. Looked at before any application
    // object exists.
    static bool handlesArguments(int argc, char **argv);
    static bool handlesArguments(const QStringList &arguments);

    // The whole command-line run: a QCoreApplication (no display, no platform
    // plugin), the stop signals, standard output and error.
    static int run(int &argc, char **argv);

    // Progress lines on err; only for a terminal.
    void setProgressShown(bool shown) { m_progressShown = shown; }

    // Parses the arguments (the program name first) and starts the scan.
    // finished() follows in every case, from the event loop.
    void start(const QStringList &arguments);

    bool isRunning() const { return m_state == State::Scanning; }
    int exitStatus() const { return m_exitStatus; }

    // The address the registry is asked at, as "host:port".
    static QString registryAddressText();

Q_SIGNALS:
    void finished(int exitStatus);

public Q_SLOTS:
    // The designed stop: every running worker is asked to stop; the scan ends
    // as aborted with exit status 2. Also ends a registry query under way.
    void userRequestStop();
    // The same stop, for SIGINT or SIGTERM, saying which one came.
    void handleStopSignal(int signalNumber);

private Q_SLOTS:
    void handleDigestStarting(QList<QString> paths);
    void sendDigestsToOrvex(QList<QString> digests);
    void handleAutomaticReconnectFailed();
    void handleStatus(QString status);

private:
    enum class State { Idle, Scanning, Done };
    struct Session;

    bool parse(const QStringList &arguments, QStringList *paths);
    void startScan(const QStringList &paths);
    void finishScan();
    void writeResults();
    void writeText(QTextStream &out);
    void writeDelimited(QTextStream &out, int exportType);
    void writeJson(QTextStream &out);
    void finish(int exitStatus);
    void message(const QString &text);
    void showProgress();
    void endProgress();

    QIODevice *m_out;
    QIODevice *m_err;
    TerminalLines m_lines;
    std::unique_ptr<Session> m_session;
    // A finished scan's objects, deleted from the event loop: the scan may end
    // inside a signal of one of them.
    std::unique_ptr<Session> m_endingSession;
    State m_state = State::Idle;
    Format m_format = Format::Text;
    bool m_quick = false;
    bool m_progressShown = false;
    bool m_stopRequested = false;
    bool m_registryFailed = false;
    bool m_pathErrors = false;
    bool m_folderErrors = false;
    bool m_outputFailed = false;
    bool m_singleFile = false;
    int m_exitStatus = NothingMalicious;
    QString m_summary;
    QString m_status;
    // Redraws the progress line while a scan runs.
    QTimer m_progressTimer;
    QElapsedTimer m_phaseTimer;
    qint64 m_walkMs = 0;
    qint64 m_digestMs = 0;
    qint64 m_queryMs = 0;
};
