#include "files/filefinder.h"

#include "platform/directorywalker.h"
#include "platform/filestatus.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>

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

bool FileFinder::scanDirectory(const QString &folder, QList<QString> *found)
{
    qDebug().noquote() << QStringLiteral("FileFinder::scanDirectory( %1 ) called").arg(folder);
    Q_EMIT progressStatus(tr("Finding files in %1").arg(folder));

    DirectoryWalker walker;
    const DirectoryWalker::Result result = walker.walk(
        folder,
        [this, found](const QString &path) {
            const QString native = QDir::toNativeSeparators(path);
            Q_EMIT fileFound(native);
            found->append(native);
        },
        [this] { return isStopRequested(); });
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
        const QString path = item.absoluteFilePath();
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
