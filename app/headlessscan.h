#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QIODevice;
class QTextStream;

// "winorvex --scan [--quick] [--format text|csv|tsv|json] PATH...": the Files
// tab's scan without a window. The same objects do the work (drive scanner,
// digest calculator, registry handler with its cache, file results table and
// scan log); the verdicts go to standard output and the exit status tells a
// script what was found.
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

    bool isRunning() const { return m_phase != Phase::Idle && m_phase != Phase::Done; }
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
    void receiveDriveScanResult(QString path, int scanType);
    void handleDriveScanFinished();
    void handleFileScanAborted();
    void handleDigestData(QString packedData);
    void handleUnableToOpenFile(QString path);
    void sendDigestsToOrvex(QList<QString> digests);
    void handleOrvexData(QString packedData);
    void handleOrvexDataUnanswered(QString md5);
    void handleOrvexQueryFinished();
    void handleAutomaticReconnectFailed();
    void handleStatus(QString status);

private:
    enum class Phase { Idle, Walking, Digesting, Querying, Done };
    struct Session;

    bool parse(const QStringList &arguments, QStringList *paths);
    void startScan(const QStringList &paths);
    void flushFoundFiles();
    void beginTableBatch();
    void endTableBatch();
    void finishScan(bool aborted);
    void writeResults();
    void writeText(QTextStream &out);
    void writeDelimited(QTextStream &out, int exportType);
    void writeJson(QTextStream &out);
    void finish(int exitStatus);
    void message(const QString &text);
    void showProgress(bool force);
    void endProgress();

    QIODevice *m_out;
    QIODevice *m_err;
    std::unique_ptr<Session> m_session;
    // A finished scan's objects, deleted from the event loop: the scan may end
    // inside a signal of one of them.
    std::unique_ptr<Session> m_endingSession;
    Phase m_phase = Phase::Idle;
    Format m_format = Format::Text;
    bool m_quick = false;
    bool m_progressShown = false;
    bool m_progressDrawn = false;
    bool m_stopRequested = false;
    bool m_registryFailed = false;
    bool m_pathErrors = false;
    bool m_outputFailed = false;
    bool m_tableBatchOpen = false;
    bool m_singleFile = false;
    int m_exitStatus = NothingMalicious;
    QString m_summary;
    QList<QString> m_foundFiles;
    QString m_status;
    qint64 m_filesFound = 0;
    qint64 m_filesDigested = 0;
    qint64 m_filesAnswered = 0;
    QElapsedTimer m_progressTimer;
    QElapsedTimer m_phaseTimer;
    qint64 m_walkMs = 0;
    qint64 m_digestMs = 0;
    qint64 m_queryMs = 0;
};
