#include "files/drivescanner.h"

#include "files/filefinder.h"
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

DriveScanner::DriveScanner(QObject *parent)
    : ProgressInterface(parent), m_swapFileSource([] { return SwapFileList::read(); })
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
        const QFileInfo info(drive);
        if (info.isDir())
            folders.append(QDir::toNativeSeparators(QDir::cleanPath(info.absoluteFilePath())));
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
    }
    if (finder) {
        // Its queued reports may still be on their way; they are told apart by
        // their sender and not acted on.
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
    connect(finder.get(), &QThread::finished, this, &DriveScanner::handleScanFinished);
    connect(finder.get(), &ProgressInterface::progressStatus, this,
            &ProgressInterface::progressStatus);
    connect(finder.get(), &ProgressInterface::userStopped, this, &ProgressInterface::userStopped);
    connect(finder.get(), &ProgressInterface::userStopped, this,
            &DriveScanner::handleFinderStopped);
    if (scanType() == FullScan)
        connect(finder.get(), &FileFinder::fileFound, this, &DriveScanner::addFile);
    else
        connect(finder.get(), &FileFinder::fileFound, this, &DriveScanner::handleFileFound);
    finder->setItems(m_drives);

    FileFinder *previous = nullptr;
    {
        QMutexLocker locker(&m_mutex);
        // A stopped scan leaves its finder behind until the next one.
        previous = std::exchange(m_finder, finder.get());
        m_swapFiles = swapFiles;
        m_finderStopped = false;
    }
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
    const FileStatus status = FileStatus::of(path);
    if (status.size() > QuickScanSizeLimit)
        return false;

    const QString ending = path.right(3);
    bool risky = false;
    for (const QString &extension : m_extensions) {
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

    if (m_exclusions.contains(path))
        return false;
    QMutexLocker locker(&m_mutex);
    return !m_swapFiles.contains(path);
}

void DriveScanner::handleFileFound(QString path)
{
    // The finder clears its stop request when its run begins; a stop that came
    // before then is sent again.
    if (isStopRequested())
        forwardStopToFinder();
    if (keptByQuickScan(path))
        Q_EMIT fileFound(path, QuickScan);
}

void DriveScanner::addFile(QString path)
{
    if (isStopRequested())
        forwardStopToFinder();
    Q_EMIT fileFound(path, FullScan);
}

void DriveScanner::handleFinderStopped()
{
    QMutexLocker locker(&m_mutex);
    if (sender() == m_finder)
        m_finderStopped = true;
}

void DriveScanner::handleScanFinished()
{
    QObject *from = sender();
    if (isStopRequested()) {
        // Normally the finder has already reported the stop. If the request
        // reached it too late to be seen, the owner must still hear of it once,
        // or it would wait for an end that never comes.
        bool reported = true;
        {
            QMutexLocker locker(&m_mutex);
            if (m_finder && from == m_finder) {
                reported = m_finderStopped;
                m_finderStopped = true;
            }
        }
        if (!reported)
            Q_EMIT userStopped();
        return;
    }

    FileFinder *finished = nullptr;
    {
        QMutexLocker locker(&m_mutex);
        if (m_finder && from == m_finder)
            finished = std::exchange(m_finder, nullptr);
    }
    if (finished)
        delete finished;
    else
        qWarning() << "DriveScanner::handleScanFinished() was not called by a FileFinder!";
    Q_EMIT scanFinished();
}
