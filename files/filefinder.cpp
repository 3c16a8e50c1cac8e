#include "files/filefinder.h"

#include "platform/directorywalker.h"
#include "platform/filename.h"
#include "platform/filestatus.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>

#include <cerrno>

FileFinder::FileFinder(QObject *parent) : ProgressInterface(parent) {}

FileFinder::~FileFinder()
{
    // A finder may be deleted right after it reported its end; let its thread finish.
    wait();
}

void FileFinder::setItems(const QList<QString> &paths)
{
    m_items.clear();
    for (const QString &path : paths)
        m_items.append(QFileInfo(path));
}

void FileFinder::reset()
{
    ProgressInterface::reset();
    m_items.clear();
}

void FileFinder::reportUnreadable(const QString &path, const QString &reason)
{
    qWarning().noquote() << QStringLiteral("FileFinder: folder '%1' not scanned: %2")
                                .arg(FileName::readable(path), reason);
    Q_EMIT folderUnreadable(path, reason);
}

bool FileFinder::scanDirectory(const QString &folder, QList<QString> *found)
{
    const QString shown = FileName::readable(folder);
    qDebug().noquote() << QStringLiteral("FileFinder::scanDirectory( %1 ) called").arg(shown);
    Q_EMIT progressStatus(tr("Finding files in %1").arg(shown));

    DirectoryWalker walker;
    const DirectoryWalker::Result result = walker.walk(
        folder,
        [this, found](const QString &path) {
            const QString native = QDir::toNativeSeparators(path);
            Q_EMIT fileFound(native);
            found->append(native);
        },
        [this] { return isStopRequested(); },
        [this](const QString &path, const QString &reason) {
            reportUnreadable(QDir::toNativeSeparators(path), reason);
        });
    if (result == DirectoryWalker::Stopped) {
        qDebug() << "FileFinder::scanDirectory() got stop request.";
        return false;
    }
    return true;
}

void FileFinder::run()
{
    ProgressInterface::reset();
    QElapsedTimer timer;
    timer.start();

    QList<QString> found;
    for (const QFileInfo &item : std::as_const(m_items)) {
        if (isStopRequested())
            break;
        // The item's own text: QFileInfo would decode the current folder lossily.
        const QString path = FileName::absolute(item.filePath());
        // Judged by the file system itself: a FIFO, socket or device file is
        // neither a folder nor a file to scan.
        const FileStatus status = FileStatus::of(path);
        if (status.isDirectory()) {
            if (!scanDirectory(path, &found))
                break;
        } else if (status.isRegular()) {
            const QString native = QDir::toNativeSeparators(path);
            found.append(native);
            Q_EMIT fileFound(native);
        } else if (!status.exists() && status.error() != ENOENT && status.error() != ENOTDIR) {
            // Not missing, but out of reach: a folder on the way that may not
            // be searched, a loop of links.
            reportUnreadable(QDir::toNativeSeparators(path), status.errorString());
        }
    }

    if (isStopRequested())
        Q_EMIT userStopped();
    else
        Q_EMIT filesFound(found);

    qDebug().noquote()
        << QStringLiteral("FileFinder::run() took %1 milliseconds.").arg(timer.elapsed());
    reset();
}
