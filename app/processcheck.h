#pragma once

#include "app/terminallines.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <memory>

class DigestCalculator;
class OrvexCache;
class OrvexHandler;
class QIODevice;
class QTextStream;
class QThread;

// "winorvex --processes [--format text|csv|tsv|json]": the running system
// checked from the command line. One snapshot of the processes and of the
// modules they have loaded; each distinct executable and module file is read
// once (the image that runs and the file that is mapped, not whatever has
// their names now), its MD5 asked of the registry, and one line or record per
// process written to standard output, with its malicious modules, then a
// summary. The exit status tells a script what was found.
class ProcessCheck : public QObject
{
    Q_OBJECT

public:
    enum ExitStatus { NothingMalicious = 0, MalwareFound = 1, Failed = 2 };
    enum class Format { Text, Csv, Tsv, Json };

    // What became of one process.
    enum class Verdict { Malicious, Clean, NoData, NotChecked, UnableToCheck };

    // Writes results to out and messages (and progress, when shown) to err.
    ProcessCheck(QIODevice *out, QIODevice *err, QObject *parent = nullptr);
    ~ProcessCheck() override;

    // True when the command line asks for this mode (--processes before any "--").
    static bool handlesArguments(int argc, char **argv);
    static bool handlesArguments(const QStringList &arguments);

    // The whole command-line run: a QCoreApplication (no display), the stop
    // signals, standard output and error.
    static int run(int &argc, char **argv);

    // Progress lines on err; only for a terminal.
    void setProgressShown(bool shown) { m_progressShown = shown; }

    // Parses the arguments (the program name first) and starts the check.
    // finished() follows in every case, from the event loop.
    void start(const QStringList &arguments);

    int exitStatus() const { return m_exitStatus; }

    // The word for a verdict in every format ("malicious", "clean", "no data",
    // "not checked", "unable to check").
    static QString verdictText(Verdict verdict);

Q_SIGNALS:
    void finished(int exitStatus);

public Q_SLOTS:
    // Stops the snapshot, the digests or the query under way; the run ends
    // with exit status 2.
    void userRequestStop();
    // The same stop, for SIGINT or SIGTERM, saying which one came.
    void handleStopSignal(int signalNumber);

private:
    struct Snapshot;
    struct Answer
    {
        int rate = -1;
        QString lastSeen;
    };

    bool parse(const QStringList &arguments);
    void collect();
    void handleCollected();
    void handleAnswer(const QString &record);
    void handleAutomaticReconnectFailed();
    void finishCheck();
    void writeResults();
    void finish(int exitStatus);
    void message(const QString &text);
    void showProgress();
    void endProgress();

    QIODevice *m_out;
    QIODevice *m_err;
    TerminalLines m_lines;
    Format m_format = Format::Text;
    bool m_progressShown = false;
    bool m_running = false;
    bool m_stopRequested = false;
    bool m_registryFailed = false;
    bool m_done = false;
    int m_exitStatus = NothingMalicious;

    std::unique_ptr<Snapshot> m_snapshot;
    std::unique_ptr<QThread> m_collector;
    std::atomic<bool> m_stop{false};
    QMutex m_digesterMutex; // guards m_digester, the collector's worker
    DigestCalculator *m_digester = nullptr;
    std::atomic<int> m_processesSeen{0};
    std::atomic<int> m_filesToRead{0};
    std::atomic<int> m_filesRead{0};
    std::unique_ptr<OrvexCache> m_cache;
    std::unique_ptr<OrvexHandler> m_handler;
    QHash<QString, Answer> m_answers;
    QSet<QString> m_unanswered;
    int m_asked = 0;
    QString m_status;
    QTimer m_progressTimer;
    QElapsedTimer m_registryTimer;
};
