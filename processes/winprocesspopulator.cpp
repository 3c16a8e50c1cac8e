#include "processes/winprocesspopulator.h"

#include "files/digestcalculator.h"
#include "platform/clock.h"
#include "platform/executableicon.h"
#include "platform/systemerror.h"
#include "processes/processrecord.h"
#include "processes/winprocess.h"
#include "registry/orvexcheckstate.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QMutexLocker>

#include <cerrno>

namespace {
// Distinct programs on a desktop number in the hundreds; past this the cache is
// simply started again.
constexpr int MaxCachedImages = 4096;
} // namespace

WinProcessPopulator::WinProcessPopulator(QObject *parent)
    : ProcessModifier(parent), m_digester(std::make_unique<DigestCalculator>())
{
    // The digester runs while this thread waits for it, so its reports land in
    // members that only this thread reads afterwards.
    connect(
        m_digester.get(), &DigestCalculator::setDigestData, m_digester.get(),
        [this](const QString &record) {
            // "path|sha1|md5": the path may hold "|", the digests do not.
            const qsizetype md5Bar = record.lastIndexOf(u'|');
            const qsizetype sha1Bar = record.lastIndexOf(u'|', md5Bar - 1);
            m_digesterResult.md5 = record.mid(md5Bar + 1);
            m_digesterResult.sha1 = record.mid(sha1Bar + 1, md5Bar - sha1Bar - 1);
        },
        Qt::DirectConnection);
    connect(
        m_digester.get(), &DigestCalculator::unableToOpenFile, m_digester.get(),
        [this] { m_digesterFailed = true; }, Qt::DirectConnection);
}

WinProcessPopulator::~WinProcessPopulator()
{
    userRequestStop();
    wait();
}

bool WinProcessPopulator::enableDebugPrivileges()
{
    return true;
}

bool WinProcessPopulator::hasUntakenBatch() const
{
    const QMutexLocker locker(&m_mutex);
    return m_untakenBatch && !m_pending.isEmpty();
}

void WinProcessPopulator::userRequestStop()
{
    ProgressInterface::userRequestStop();
    if (m_digester->isRunning())
        m_digester->userRequestStop();
    const QMutexLocker locker(&m_mutex);
    m_wake.wakeAll();
}

void WinProcessPopulator::setProcessData(QList<QString> p_process_data)
{
    if (isRunning())
        qCritical() << "WinProcessPopulator::setProcessData() called when the thread is already "
                       "running";
    const QMutexLocker locker(&m_mutex);
    m_pending = p_process_data;
    m_untakenBatch = true;
    m_wake.wakeAll();
}

void WinProcessPopulator::run()
{
    ProgressInterface::reset();
    if (!enableDebugPrivileges()) {
        qWarning() << "WinProcessPopulator::run(): adjusting privileges failed!";
        Q_EMIT failedToEnableDebugPrivileges();
        return;
    }
    m_found.clear();
    int passes = 0;
    for (;;) {
        QList<QString> batch;
        {
            QMutexLocker locker(&m_mutex);
            if (passes > 0 && passes < MaxPasses && !m_untakenBatch && !m_pending.isEmpty()) {
                // The pause between passes; a new batch starts at once.
                const QDeadlineTimer pause(Clock::wait(PassPauseMs));
                while (!m_untakenBatch && !isStopRequested() && !pause.hasExpired())
                    m_wake.wait(&m_mutex, pause);
            }
            // A batch handed over during a run gets passes of its own: taken
            // in the last pass, it would otherwise never be tried.
            if (std::exchange(m_untakenBatch, false))
                passes = 0;
            if (isStopRequested() || m_pending.isEmpty() || passes >= MaxPasses)
                break;
            batch = m_pending;
        }

        m_givenUp.clear();
        for (const QString &record : std::as_const(batch)) {
            if (isStopRequested())
                return;
            Q_EMIT setProcessProperty(record, WinProcess::OrvexState, int(Checking));
            populateProcess(record);
        }

        QList<QString> digests;
        QList<QString> done;
        for (const QString &record : std::as_const(batch)) {
            if (isStopRequested())
                return;
            bool final = false;
            const QString md5 = digestProcess(record, &final);
            if (!md5.isEmpty()) {
                digests.append(md5);
                done.append(record);
            } else if (!final) {
                qWarning().noquote()
                    << QStringLiteral(
                           "WinProcessPopulator::run() failed to get digest for process data '%1'")
                           .arg(record);
            }
        }
        Q_EMIT processDigests(digests);

        {
            const QMutexLocker locker(&m_mutex);
            for (const QString &record : std::as_const(done)) {
                if (m_pending.removeAll(record) == 0)
                    qWarning().noquote()
                        << QStringLiteral("WinProcessPopulator::run() got properties for '%1' but "
                                          "wasn't in list!")
                               .arg(record);
            }
            // Given up for good: no further pass would fare better.
            for (const QString &record : std::as_const(m_givenUp))
                m_pending.removeAll(record);
        }
        ++passes;
    }
}

int WinProcessPopulator::confirmProcess(const Found &process, quint64 *startTime, bool known)
{
    ProcStat stat;
    const int error = RunningProcesses::instance().stat(process.pid, &stat);
    if (error != 0)
        return error;
    if (stat.isZombie())
        return ESRCH;
    if (stat.parentPid != process.parentPid || stat.displayName() != process.name)
        return ESRCH;
    if (known && stat.startTime != *startTime)
        return ESRCH;
    *startTime = stat.startTime;
    return 0;
}

bool WinProcessPopulator::noteFailure(const QString &record, const Found &process, int error,
                                      const QString &context)
{
    if (RunningProcesses::hasEnded(error)) {
        qDebug().noquote()
            << QStringLiteral("%1 the process %2 has ended").arg(context).arg(process.pid);
    } else {
        logSystemError(QStringLiteral("%1 PID %2").arg(context).arg(process.pid), error);
        // Denied is final: no retry, and so one line per process.
        if (!RunningProcesses::isDenied(error))
            return false;
        Q_EMIT processDenied();
    }
    m_givenUp.insert(record);
    return true;
}

void WinProcessPopulator::populateProcess(const QString &record)
{
    Found process;
    QString pidText, parentText;
    if (ProcessRecord::split(record, &pidText, &process.name, &parentText)) {
        process.pid = pidText.toUInt();
        process.parentPid = parentText.toUInt();
    }
    // Confirmed before and after the look-up: a pid reused meanwhile by
    // another program is a process that ended.
    const RunningProcesses &processes = RunningProcesses::instance();
    QByteArray path;
    int error = confirmProcess(process, &process.startTime, false);
    if (error == 0)
        error = processes.executablePath(process.pid, &path);
    if (error == 0)
        error = confirmProcess(process, &process.startTime, true);
    if (error == 0) {
        process.path = QFile::decodeName(path);
        Q_EMIT setProcessProperty(record, WinProcess::FilePath, process.path);
        m_found.insert(record, process);
    } else {
        m_found.remove(record);
        noteFailure(record, process, error,
                    QStringLiteral("WinProcessPopulator::getProcessPath()"));
    }
    Q_EMIT setProcessProperty(record, WinProcess::LargeIcon, iconData(process.path, true));
    Q_EMIT setProcessProperty(record, WinProcess::SmallIcon, iconData(process.path, false));
}

QByteArray WinProcessPopulator::iconData(const QString &, bool large) const
{
    // Every program has the desktop's executable icon, made once on the GUI thread.
    return ExecutableIcon::png(large);
}

QString WinProcessPopulator::digestProcess(const QString &record, bool *final)
{
    *final = m_givenUp.contains(record);
    const auto found = m_found.constFind(record);
    if (*final || found == m_found.constEnd()) {
        if (!*final)
            qDebug().noquote() << QStringLiteral("WinProcessPopulator::digestProcess() could not "
                                                 "find a path to the executable with packed data "
                                                 "'%1'")
                                      .arg(record);
        Q_EMIT setProcessProperty(record, WinProcess::OrvexState, int(UnableToCheck));
        return QString();
    }
    Found process = *found;
    const QString context = QStringLiteral("WinProcessPopulator::digestProcess()");
    const auto fail = [&](int error) {
        *final = noteFailure(record, process, error, context);
        Q_EMIT setProcessProperty(record, WinProcess::OrvexState, int(UnableToCheck));
        return QString();
    };

    const RunningProcesses &processes = RunningProcesses::instance();
    ImageIdentity image;
    int error = processes.imageIdentity(process.pid, &image);
    if (error == 0)
        error = confirmProcess(process, &process.startTime, true);
    if (error != 0)
        return fail(error);

    Digests digests = m_digestCache.value(image);
    if (digests.md5.isEmpty()) {
        if (!readImage(processes.imagePath(process.pid), &digests)) {
            if (isStopRequested())
                return QString();
            error = confirmProcess(process, &process.startTime, true);
            if (error != 0)
                return fail(error);
            qWarning().noquote()
                << QStringLiteral("WinProcessPopulator::digestProcess() could not open process "
                                  "file '%1'.")
                       .arg(process.path);
            Q_EMIT setProcessProperty(record, WinProcess::OrvexState, int(UnableToCheck));
            return QString();
        }
        // The image read must still be the process's, and its file unchanged.
        ImageIdentity after;
        error = processes.imageIdentity(process.pid, &after);
        if (error == 0)
            error = confirmProcess(process, &process.startTime, true);
        if (error != 0)
            return fail(error);
        if (!(after == image)) {
            qWarning().noquote()
                << QStringLiteral("WinProcessPopulator::digestProcess() the file of process %1 "
                                  "changed while it was read")
                       .arg(process.pid);
            Q_EMIT setProcessProperty(record, WinProcess::OrvexState, int(UnableToCheck));
            return QString();
        }
        if (m_digestCache.size() >= MaxCachedImages)
            m_digestCache.clear();
        m_digestCache.insert(image, digests);
    }
    Q_EMIT setProcessProperty(record, WinProcess::MD5, digests.md5);
    Q_EMIT setProcessProperty(record, WinProcess::SHA1, digests.sha1);
    return digests.md5;
}

bool WinProcessPopulator::readImage(const QString &path, Digests *digests)
{
    qDebug().noquote() << QStringLiteral("WinProcessPopulator::readImage() reading '%1'").arg(path);
    m_digesterResult = Digests();
    m_digesterFailed = false;
    m_digester->setFiles({path});
    m_digester->start(QThread::InheritPriority);
    m_digester->wait();
    if (m_digesterFailed || m_digesterResult.md5.isEmpty())
        return false;
    *digests = m_digesterResult;
    return true;
}
