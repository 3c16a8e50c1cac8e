#pragma once

#include "files/processmodifier.h"
#include "platform/runningprocesses.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QWaitCondition>

#include <memory>

class DigestCalculator;

// Turns newly seen processes into checkable rows on a thread of its own: for
// each process packed record it finds the executable's path, its icons and the
// MD5 and SHA-1 of the running image, and reports each as a property change
// (setProcessProperty with a WinProcess::ProcessProperty). Each pass ends with
// the MD5 digests it obtained (processDigests). Processes that fail for a
// passing reason are tried again, up to ten passes a second apart; one that
// ended, or that this user may not inspect, is given up at once.
class WinProcessPopulator : public ProcessModifier
{
    Q_OBJECT

public:
    static constexpr int MaxPasses = 10;
    static constexpr int PassPauseMs = 1000;

    explicit WinProcessPopulator(QObject *parent = nullptr);
    ~WinProcessPopulator() override;

    // Linux lets a program inspect the processes of its own user without a
    // privilege to enable; those it may not inspect fail their look-ups.
    static bool enableDebugPrivileges();

    // A batch was handed over that no pass has taken yet: it came as a run
    // was ending, and the owner starts the populator again for it.
    bool hasUntakenBatch() const;

    void userRequestStop() override;

Q_SIGNALS:
    void processDigests(QList<QString>);
    void failedToEnableDebugPrivileges();
    // A process that this user may not inspect (another user's, without root).
    void processDenied();

public Q_SLOTS:
    // Replaces the records still to handle; a running thread takes them at
    // its next pass.
    void setProcessData(QList<QString> p_process_data);

protected:
    void run() override;

private:
    using ImageIdentity = RunningProcesses::ImageIdentity;
    struct Found
    {
        QString path;
        quint32 pid = 0;
        QString name;
        quint32 parentPid = 0;
        quint64 startTime = 0;
    };
    struct Digests
    {
        QString md5;
        QString sha1;
    };

    void populateProcess(const QString &record);
    // The MD5 of the record's running image, or empty; *final tells that the
    // process is given up (it ended, or may not be inspected).
    QString digestProcess(const QString &record, bool *final);
    QByteArray iconData(const QString &path, bool large) const;

    // 0 when the process with this pid is still the one of the record (same
    // name and parent, alive, and the same start time as *startTime if known);
    // otherwise an errno value, ESRCH for another process under the same pid.
    static int confirmProcess(const Found &process, quint64 *startTime, bool known);
    // Sorts a failed look-up: logs it, and notes the record as given up when
    // the failure is final. True for a final failure.
    bool noteFailure(const QString &record, const Found &process, int error,
                     const QString &context);
    bool readImage(const QString &path, Digests *digests);

    mutable QMutex m_mutex; // guards the three members below
    QWaitCondition m_wake;
    QList<QString> m_pending;
    bool m_untakenBatch = false;

    // The worker thread's own.
    QHash<QString, Found> m_found; // record -> process whose path was found; one run long
    QSet<QString> m_givenUp;       // records given up in this pass
    // Digests of running images, for as long as their file is unchanged: many
    // processes share one program, which is then read once.
    QHash<ImageIdentity, Digests> m_digestCache;
    std::unique_ptr<DigestCalculator> m_digester;
    Digests m_digesterResult;
    bool m_digesterFailed = false;
};
