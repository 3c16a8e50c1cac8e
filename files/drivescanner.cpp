#include "files/drivescanner.h"

#include "files/filefinder.h"
#include "files/slicedrelay.h"
#include "platform/filename.h"
#include "platform/filestatus.h"
#include "platform/swapfilelist.h"

#include <QDebug>
#include <QDir>
#include <QMutexLocker>

#include <memory>
#include <utility>

namespace {
// Shared objects have no three-letter ending of their own; Linux programs have
// none at all and are known by their execute permission instead.
const QString SharedObjectEnding = QStringLiteral(".so");
} // namespace

QList<QString> DriveScanner::quickScanExtensions()
{
    return {QStringLiteral("exe"), QStringLiteral("dll"), QStringLiteral("sys"),
            QStringLiteral("drv"), QStringLiteral(".ax"), QStringLiteral("ime"),
            QStringLiteral("zip"), QStringLiteral("cab"), QStringLiteral("com"),
            QStringLiteral("scr"), QStringLiteral("pif"), QStringLiteral("pdf")};
}

DriveScanner::DriveScanner(QObject *parent)
    : ProgressInterface(parent), m_swapFileSource([] { return SwapFileList::read(); }),
      m_relay(new SlicedRelay(this))
{
}

DriveScanner::~DriveScanner()
{
    wait();
    FileFinder *finder = nullptr;
    {
        QMutexLocker locker(&m_mutex);
        finder = std::exchange(m_finder, nullptr);
    }
    if (finder) {
        finder->userRequestStop();
        delete finder;
    }
}

void DriveScanner::setDrives(const QList<QString> &drives)
{
    m_drives.clear();
    for (const QString &drive : drives)
        m_drives.append(QDir::toNativeSeparators(drive));
}

void DriveScanner::setExclusions(const QList<QString> &exclusions)
{
    m_exclusions = exclusions;
}

void DriveScanner::setExtensions(const QList<QString> &extensions)
{
    m_extensions = extensions;
}

QList<QString> DriveScanner::drives() const
{
    return m_drives;
}

QList<QFileInfo> DriveScanner::items() const
{
    QList<QFileInfo> items;
    for (const QString &drive : m_drives)
        items.append(QFileInfo(drive));
    return items;
}

QList<QString> DriveScanner::directories() const
{
    QList<QString> folders;
    for (const QString &drive : m_drives) {
        const QString path = FileName::absolute(drive);
        if (FileStatus::of(path).isDirectory())
            folders.append(QDir::toNativeSeparators(path));
    }
    return folders;
}

QList<QString> DriveScanner::exclusions() const
{
    return m_exclusions;
}

QList<QString> DriveScanner::extensions() const
{
    return m_extensions;
}

int DriveScanner::scanType() const
{
    return m_extensions.isEmpty() ? FullScan : QuickScan;
}

void DriveScanner::setSwapFileSource(std::function<QList<QString>()> source)
{
    m_swapFileSource = std::move(source);
}

void DriveScanner::reset()
{
    FileFinder *finder = nullptr;
    {
        QMutexLocker locker(&m_mutex);
        finder = std::exchange(m_finder, nullptr);
        ++m_walk;
    }
    if (finder) {
        finder->userRequestStop();
        delete finder;
    }
}

void DriveScanner::run()
{
    ProgressInterface::reset();
    Q_EMIT progressMaximum(0);

    const QList<QString> swapFiles = m_swapFileSource ? m_swapFileSource() : QList<QString>();

    auto finder = std::make_unique<FileFinder>();
    // The finder is created on this short-lived thread but handled and deleted
    // on the scanner's own (GUI) thread.
    finder->moveToThread(thread());
    FileFinder *previous = nullptr;
    quint64 walk = 0;
    {
        QMutexLocker locker(&m_mutex);
        // A stopped scan leaves its finder behind until the next one.
        previous = std::exchange(m_finder, finder.get());
        walk = ++m_walk;
        m_swapFiles = swapFiles;
        m_finderStopped = false;
        m_unreadableFolders.clear();
    }
    // The finder's reports reach this (GUI) thread through the relay, in
    // their order and a slice at a time; the quick scan's test runs on the
    // finder's thread, so files left out cost the GUI thread nothing.
    SlicedRelay *relay = m_relay;
    const Qt::ConnectionType onFinderThread = Qt::DirectConnection;
    connect(
        finder.get(), &QThread::finished, this,
        [this, relay, walk] { relay->post([this, walk] { handleFinderEnd(walk); }); },
        onFinderThread);
    connect(
        finder.get(), &ProgressInterface::progressStatus, this,
        [this, relay, walk](const QString &status) {
            relay->post([this, walk, status] {
                if (isCurrentWalk(walk))
                    Q_EMIT progressStatus(status);
            });
        },
        onFinderThread);
    connect(
        finder.get(), &FileFinder::folderUnreadable, this,
        [this, relay, walk](const QString &path, const QString &reason) {
            relay->post([this, walk, path, reason] { reportUnreadableFolder(walk, path, reason); });
        },
        onFinderThread);
    connect(
        finder.get(), &ProgressInterface::userStopped, this,
        [this, relay, walk] { relay->post([this, walk] { handleFinderStopped(walk); }); },
        onFinderThread);
    // The finder may outlive a stopped scan while the next one sets new
    // inputs: its thread tests files against copies of this walk's.
    const int type = scanType();
    const QList<QString> extensions = m_extensions;
    const QList<QString> exclusions = m_exclusions;
    connect(
        finder.get(), &FileFinder::fileFound, this,
        [this, relay, walk, type, extensions, exclusions, swapFiles](const QString &path) {
            // The size is read here too: the table needs it for every row, and
            // this thread waits for the GUI thread most of the walk.
            const FileStatus status = FileStatus::of(path);
            if (type == QuickScan &&
                !keptByQuickScan(path, status, extensions, exclusions, swapFiles))
                return;
            const qint64 bytes = status.exists() ? status.size() : -1;
            relay->post([this, walk, type, path, bytes] {
                if (isCurrentWalk(walk))
                    reportFile(path, type, bytes);
            });
        },
        onFinderThread);
    finder->setItems(m_drives);

    if (previous)
        previous->deleteLater();

    finder.release()->start(QThread::InheritPriority);
    // A stop that came while the finder was being set up must still reach it.
    if (isStopRequested())
        forwardStopToFinder();
}

void DriveScanner::userRequestStop()
{
    qDebug() << "DriveScanner::userRequestStop() called";
    forwardStopToFinder();
    ProgressInterface::userRequestStop();
}

void DriveScanner::forwardStopToFinder()
{
    QMutexLocker locker(&m_mutex);
    if (m_finder)
        m_finder->userRequestStop();
}

bool DriveScanner::keptByQuickScan(const QString &path) const
{
    QList<QString> swapFiles;
    {
        QMutexLocker locker(&m_mutex);
        swapFiles = m_swapFiles;
    }
    return keptByQuickScan(path, FileStatus::of(path), m_extensions, m_exclusions, swapFiles);
}

bool DriveScanner::keptByQuickScan(const QString &path, const FileStatus &status,
                                   const QList<QString> &extensions,
                                   const QList<QString> &exclusions,
                                   const QList<QString> &swapFiles)
{
    if (status.size() > QuickScanSizeLimit)
        return false;

    const QString ending = path.right(3);
    bool risky = false;
    for (const QString &extension : extensions) {
        if (ending.compare(extension, Qt::CaseInsensitive) == 0) {
            risky = true;
            break;
        }
    }
    if (!risky)
        risky = path.endsWith(SharedObjectEnding, Qt::CaseInsensitive) ||
                (status.isRegular() && status.isExecutable());
    if (!risky)
        return false;
    return !exclusions.contains(path) && !swapFiles.contains(path);
}

void DriveScanner::handleFileFound(QString path)
{
    if (keptByQuickScan(path) || isStopRequested())
        reportFile(path, QuickScan);
}

void DriveScanner::addFile(QString path)
{
    reportFile(path, FullScan);
}

void DriveScanner::reportFile(const QString &path, int scanType, qint64 bytes)
{
    // Files the finder met before it saw a stop are not reported after it. The
    // finder clears its stop request when its run begins; a stop that came
    // before then is sent again.
    if (isStopRequested()) {
        forwardStopToFinder();
        return;
    }
    m_reportedBytes = bytes;
    Q_EMIT fileFound(path, scanType);
    m_reportedBytes = NotMeasured;
}

void DriveScanner::reportUnreadableFolder(quint64 walk, const QString &path, const QString &reason)
{
    // Like files, nothing more is reported once a stop was asked for.
    if (isStopRequested())
        return;
    {
        QMutexLocker locker(&m_mutex);
        if (walk != m_walk)
            return;
        m_unreadableFolders.append({path, reason});
    }
    Q_EMIT folderUnreadable(path, reason);
}

QList<DriveScanner::UnreadableFolder> DriveScanner::unreadableFolders() const
{
    QMutexLocker locker(&m_mutex);
    return m_unreadableFolders;
}

bool DriveScanner::isCurrentWalk(quint64 walk) const
{
    QMutexLocker locker(&m_mutex);
    return walk == m_walk;
}

void DriveScanner::handleFinderStopped(quint64 walk)
{
    {
        QMutexLocker locker(&m_mutex);
        if (walk != m_walk)
            return;
        m_finderStopped = true;
    }
    Q_EMIT userStopped();
}

void DriveScanner::handleFinderEnd(quint64 walk)
{
    if (!isCurrentWalk(walk))
        return;
    if (isStopRequested()) {
        // Normally the finder has already reported the stop. If the request
        // reached it too late to be seen, the owner must still hear of it once,
        // or it would wait for an end that never comes.
        bool reported = true;
        {
            QMutexLocker locker(&m_mutex);
            reported = std::exchange(m_finderStopped, true);
        }
        if (!reported)
            Q_EMIT userStopped();
        return;
    }
    endCurrentWalk();
    Q_EMIT scanFinished();
}

void DriveScanner::endCurrentWalk()
{
    FileFinder *finished = nullptr;
    {
        QMutexLocker locker(&m_mutex);
        finished = std::exchange(m_finder, nullptr);
        ++m_walk;
    }
    delete finished;
}

void DriveScanner::handleScanFinished()
{
    // Called by the finder's end or directly; only the finder's end counts as one.
    if (isStopRequested())
        return;
    const QObject *from = sender();
    bool fromFinder = false;
    {
        QMutexLocker locker(&m_mutex);
        fromFinder = from && from == m_finder;
    }
    if (fromFinder)
        endCurrentWalk();
    else
        qWarning() << "DriveScanner::handleScanFinished() was not called by a FileFinder!";
    Q_EMIT scanFinished();
}
