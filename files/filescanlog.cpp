#include "files/filescanlog.h"

#include "files/drivescanner.h"
#include "files/sqlmodel.h"
#include "platform/clock.h"
#include "platform/fileicon.h"
#include "platform/filename.h"
#include "platform/fileproperties.h"
#include "platform/filestatus.h"
#include "registry/orvexcheckstate.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QGuiApplication>
#include <QLocale>
#include <QSqlQuery>

namespace {
const QString TableName = QStringLiteral("scan_log");
} // namespace

FileScanLog::FileScanLog(QObject *parent)
    : QSqlTableModel(parent), m_isVolumeRoot(&FileProperties::isVolumeRoot)
{
    QSqlQuery create(database());
    if (!create.exec(QStringLiteral("CREATE TABLE %1 (id INTEGER PRIMARY KEY,start_time_t "
                                    "INTEGER,end_time_t INTEGER,scan_type INTEGER,files_checked "
                                    "INTEGER,malicious_files_found INTEGER,aborted INTEGER)")
                         .arg(TableName)))
        SqlModel::logSqlError(create);

    setTable(TableName);
    setEditStrategy(QSqlTableModel::OnFieldChange);
    if (select())
        qDebug() << "scan log select ok";
    else
        qDebug() << "scan log select failed";
}

void FileScanLog::setFileModel(SqlModel *model)
{
    m_fileModel = model;
}

void FileScanLog::setDriveScanner(DriveScanner *scanner)
{
    m_driveScanner = scanner;
}

void FileScanLog::setVolumeRootTest(std::function<bool(const QString &)> isVolumeRoot)
{
    if (isVolumeRoot)
        m_isVolumeRoot = std::move(isVolumeRoot);
    else
        m_isVolumeRoot = &FileProperties::isVolumeRoot;
}

void FileScanLog::handleScanStarted()
{
    m_startTime = Clock::currentDateTime();
    m_startFileCount = m_fileModel ? m_fileModel->fileCount() : 0;
    m_startMaliciousCount = m_fileModel ? m_fileModel->maliciousEntryCount() : 0;
    m_startLastRowId = lastRowId();

    QSqlQuery insert(database());
    insert.prepare(QStringLiteral("INSERT INTO %1 ( start_time_t ) VALUES( ? )").arg(TableName));
    insert.addBindValue(m_startTime.toSecsSinceEpoch());
    if (!insert.exec())
        SqlModel::logSqlError(insert);
}

void FileScanLog::handleScanAborted()
{
    summarise(true);
}

void FileScanLog::handleScanFinished()
{
    summarise(false);
}

QString FileScanLog::durationText(qint64 seconds)
{
    const qint64 days = seconds / 86400;
    const qint64 hours = seconds / 3600 % 24;
    const qint64 minutes = seconds / 60 % 60;
    const qint64 secs = seconds % 60;
    QStringList parts;
    if (days)
        parts << (days == 1 ? tr("1 day") : tr("%1 days").arg(days));
    if (hours)
        parts << (hours == 1 ? tr("1 hour") : tr("%1 hours").arg(hours));
    if (minutes)
        parts << (minutes == 1 ? tr("1 minute") : tr("%1 minutes").arg(minutes));
    if (secs)
        parts << (secs == 1 ? tr("1 second") : tr("%1 seconds").arg(secs));
    if (parts.isEmpty())
        return tr("0 seconds");
    return parts.join(QStringLiteral(", "));
}

QString FileScanLog::targetText() const
{
    const QList<QString> folders =
        m_driveScanner ? m_driveScanner->directories() : QList<QString>();
    if (folders.size() == 1) {
        const QString folder = folders.first();
        // Shown as people read names: bytes that are not text as \xNN.
        const QString shown = FileName::readable(folder);
        if (m_isVolumeRoot(folder))
            return tr("the root directory \"%1\"").arg(shown);
        return tr("the directory \"%1\"").arg(shown);
    }
    if (folders.size() > 1)
        return tr("the %1 directories").arg(folders.size());

    const QList<QString> drives = m_driveScanner ? m_driveScanner->drives() : QList<QString>();
    if (drives.size() == 1)
        return tr("\"%1\"").arg(
            FileName::readable(drives.first().mid(drives.first().lastIndexOf(u'/') + 1)));
    if (drives.size() > 1)
        return tr("%1 files").arg(drives.size());
    return QStringLiteral("(unknown)");
}

void FileScanLog::summarise(bool aborted)
{
    const int maliciousFound =
        (m_fileModel ? m_fileModel->maliciousEntryCount() : 0) - m_startMaliciousCount;
    const int filesScanned = (m_fileModel ? m_fileModel->fileCount() : 0) - m_startFileCount;
    // A clock set back during the scan must not give a negative duration.
    const qint64 elapsed =
        m_startTime.isValid() ? qMax<qint64>(0, m_startTime.secsTo(Clock::currentDateTime())) : 0;

    const bool quick = m_driveScanner && !m_driveScanner->extensions().isEmpty();
    const QString typeWord = quick ? QStringLiteral("Quick") : QStringLiteral("Full");
    const QString duration = durationText(elapsed);
    const QString target = targetText();
    const bool singleFile = m_driveScanner && m_driveScanner->directories().isEmpty() &&
                            m_driveScanner->drives().size() == 1;

    // One multi-argument arg() each: a path holding "%1" must stay as it is.
    QString sentence;
    if (aborted) {
        sentence = tr("The %1 Scan of %2 was aborted after %3.").arg(typeWord, target, duration);
    } else if (singleFile && !singleFileChecked()) {
        // Unreadable, or never answered: nothing is known of it.
        sentence =
            tr("The scan of %1 took %2 and it <b>could not be checked</b>.").arg(target, duration);
    } else if (singleFile) {
        sentence = tr("The scan of %1 took %2 and it is <b>%3</b>malicious.")
                       .arg(target, duration, maliciousFound == 1 ? QString() : tr("not "));
    } else {
        const QLocale locale;
        sentence = tr("The %1 Scan of %2 took %3 and found %4 malicious file%5 of the %6 scanned.")
                       .arg(typeWord, target, duration, locale.toString(maliciousFound),
                            maliciousFound == 1 ? QString() : QStringLiteral("s"),
                            locale.toString(filesScanned));
    }
    const QString unreadable = unreadableFoldersText();
    if (!unreadable.isEmpty())
        sentence += u' ' + unreadable;
    qDebug().noquote() << QStringLiteral("[SCAN TIMING] %1").arg(sentence);

    QPixmap icon = iconFromScanDirectories();
    Q_EMIT scanSummary(sentence);
    Q_EMIT scanStatistics(maliciousFound);
    Q_EMIT scanIcon(icon);
}

QString FileScanLog::unreadableFoldersText() const
{
    if (!m_driveScanner)
        return QString();
    const QList<DriveScanner::UnreadableFolder> folders = m_driveScanner->unreadableFolders();
    for (const DriveScanner::UnreadableFolder &folder : folders)
        qWarning().noquote() << QStringLiteral("FileScanLog::summarise() could not read '%1': %2")
                                    .arg(FileName::readable(folder.path), folder.reason);
    if (folders.isEmpty())
        return QString();
    if (folders.size() == 1)
        return tr("1 folder could not be read.");
    return tr("%L1 folders could not be read.").arg(folders.size());
}

QString FileScanLog::emptyScanText(bool withUnreadableItems) const
{
    if (!m_driveScanner)
        return QString();
    // A scan item that could not be read is not empty: it was never seen into.
    QList<DriveScanner::UnreadableFolder> unreadableItems;
    QStringList unreadablePaths;
    const QList<QString> items = m_driveScanner->drives();
    for (const DriveScanner::UnreadableFolder &folder : m_driveScanner->unreadableFolders()) {
        const QString path = FileName::absolute(folder.path);
        for (const QString &item : items) {
            if (FileName::absolute(item) == path) {
                unreadableItems.append(folder);
                unreadablePaths.append(path);
                break;
            }
        }
    }
    QStringList empty;
    for (const QString &folder : m_driveScanner->directories()) {
        if (!unreadablePaths.contains(FileName::absolute(folder)))
            empty.append(FileName::readable(folder));
    }

    QStringList paragraphs;
    if (!empty.isEmpty()) {
        const QString names = empty.join(QStringLiteral(", "));
        if (m_driveScanner->scanType() == DriveScanner::QuickScan)
            paragraphs << tr("The Quick Scan of '%1' didn't find any interesting files.\n\nA "
                             "Quick Scan may not scan all files on a drive.\nPlease run a Full "
                             "Scan to scan every file on a drive.")
                              .arg(names);
        else if (empty.size() > 1)
            paragraphs << tr("The directories '%1' don't contain any files.").arg(names);
        else
            paragraphs << tr("The directory '%1' doesn't contain any files.").arg(names);
    }
    if (withUnreadableItems) {
        QStringList lines;
        for (const DriveScanner::UnreadableFolder &folder : std::as_const(unreadableItems))
            lines << tr("The directory '%1' could not be read: %2.")
                         .arg(FileName::readable(folder.path), folder.reason);
        if (!lines.isEmpty())
            paragraphs << lines.join(u'\n');
    }
    return paragraphs.join(QStringLiteral("\n\n"));
}

qint64 FileScanLog::lastRowId() const
{
    if (!m_fileModel)
        return 0;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT MAX(id) FROM %1").arg(m_fileModel->tableName()))) {
        SqlModel::logSqlError(query);
        return 0;
    }
    return query.next() ? query.value(0).toLongLong() : 0;
}

bool FileScanLog::singleFileChecked() const
{
    // The rows this scan added; each scan stores its files anew.
    if (!m_fileModel)
        return false;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE id > ? AND check_state = ?")
                      .arg(m_fileModel->tableName()));
    query.addBindValue(m_startLastRowId);
    query.addBindValue(int(Checked));
    if (!query.exec()) {
        SqlModel::logSqlError(query);
        return false;
    }
    return query.next() && query.value(0).toInt() > 0;
}

QPixmap FileScanLog::iconFromScanDirectories() const
{
    // A headless scan has no pixmaps at all.
    if (!m_driveScanner || !qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return QPixmap();
    for (const QString &folder : m_driveScanner->directories()) {
        const QPixmap icon = systemIconFromFile(folder, true);
        if (!icon.isNull())
            return icon;
    }
    for (const QString &drive : m_driveScanner->drives()) {
        const QPixmap icon = systemIconFromFile(drive, FileStatus::of(drive).isDirectory());
        if (!icon.isNull())
            return icon;
    }
    return QPixmap();
}

QPixmap FileScanLog::systemIconFromFile(const QString &path, bool isFolder) const
{
    qDebug().noquote() << QStringLiteral("FileScanLog::systemIconFromFile( %1 ) called").arg(path);
    FileIcon::Kind kind = FileIcon::Kind::File;
    if (isFolder)
        kind = m_isVolumeRoot(path) ? FileIcon::Kind::Volume : FileIcon::Kind::Folder;
    const QPixmap icon = FileIcon::smallIcon(QDir::toNativeSeparators(path), kind);
    if (icon.isNull())
        qWarning().noquote() << QStringLiteral(
                                    "FileScanLog::iconFromScanDirectories() found no icon for '%1'")
                                    .arg(path);
    return icon;
}
