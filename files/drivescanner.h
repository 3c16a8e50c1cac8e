#pragma once

#include "files/progressinterface.h"

#include <QFileInfo>
#include <QList>
#include <QMutex>
#include <QString>

#include <functional>

class FileFinder;
class FileStatus;
class SlicedRelay;

// Drives one file scan: walks the given items with a FileFinder and reports
// each file that belongs to the scan. A quick scan keeps small files of risky
// kinds; a full scan keeps every regular file. Every folder the walk could not
// read or enter is reported too, in order with the files. Paths are in the
// lossless form of FileName.
class DriveScanner : public ProgressInterface
{
    Q_OBJECT

public:
    enum ScanType { QuickScan = 0, FullScan = 1 };

    // A folder of the walk that could not be read or entered.
    struct UnreadableFolder
    {
        QString path;
        QString reason; // the system's words ("Permission denied")
        bool operator==(const UnreadableFolder &other) const
        {
            return path == other.path && reason == other.reason;
        }
    };

    // Largest file a quick scan keeps; a file of exactly this size passes.
    static constexpr qint64 QuickScanSizeLimit = 10485760;
    // The endings a quick scan keeps; every caller that starts a quick scan
    // hands these to setExtensions().
    static QList<QString> quickScanExtensions();

    explicit DriveScanner(QObject *parent = nullptr);
    ~DriveScanner() override;

    // Inputs, set while the scanner is idle, before start().
    void setDrives(const QList<QString> &drives);
    void setExclusions(const QList<QString> &exclusions);
    void setExtensions(const QList<QString> &extensions);

    // The items of the scan (drive roots, folders or single files), native separators.
    QList<QString> drives() const;
    // The same items as file infos, in the same order. They carry the text
    // only: Qt cannot reach every name by it, FileStatus can.
    QList<QFileInfo> items() const;
    // For each drive that is an existing folder, its native absolute path.
    QList<QString> directories() const;
    QList<QString> exclusions() const;
    QList<QString> extensions() const;
    // Quick (0) when there are extensions, full (1) otherwise.
    int scanType() const;

    // Where the swap files to leave out of a quick scan come from; by default
    // the live list of the running system. Read once at the start of each scan.
    void setSwapFileSource(std::function<QList<QString>()> source);

    // While fileFound is being emitted for a file of the walk: the size its
    // finder's thread saw (-1 when it could not be read). NotMeasured otherwise,
    // and for files given through addFile() and handleFileFound().
    static constexpr qint64 NotMeasured = -2;
    qint64 reportedFileBytes() const { return m_reportedBytes; }

    // The folders of the current or last scan that could not be read or
    // entered, in the order they were reported (a scan item itself included).
    // Emptied when a scan starts.
    QList<UnreadableFolder> unreadableFolders() const;

    // Deletes the finder of the last scan, if any; the stop request stays.
    // Called while the scanner's own thread is idle.
    void reset() override;

Q_SIGNALS:
    void fileFound(QString, int);
    void scanFinished();
    // A folder that could not be read or entered; before scanFinished().
    void folderUnreadable(QString path, QString reason);

public Q_SLOTS:
    void userRequestStop() override;
    void handleFileFound(QString path);
    void addFile(QString path);
    void handleScanFinished();

protected:
    void run() override;

private:
    bool keptByQuickScan(const QString &path) const;
    static bool keptByQuickScan(const QString &path, const FileStatus &status,
                                const QList<QString> &extensions, const QList<QString> &exclusions,
                                const QList<QString> &swapFiles);
    void reportFile(const QString &path, int scanType, qint64 bytes = NotMeasured);
    void reportUnreadableFolder(quint64 walk, const QString &path, const QString &reason);
    void forwardStopToFinder();
    bool isCurrentWalk(quint64 walk) const;
    void handleFinderStopped(quint64 walk);
    void handleFinderEnd(quint64 walk);
    void endCurrentWalk();

    QList<QString> m_drives;
    QList<QString> m_exclusions;
    QList<QString> m_extensions;
    std::function<QList<QString>()> m_swapFileSource;
    // Carries the finder's reports from its thread to the GUI thread.
    SlicedRelay *m_relay = nullptr;

    // Guards the finder and the per-walk state below: run() sets them on the
    // scanner's thread, the slots read them on the GUI thread.
    mutable QMutex m_mutex;
    FileFinder *m_finder = nullptr;
    // Numbers each finder's walk; reports of any other walk than the current
    // one are stale (a finder let go by reset() or by the next scan may still
    // have reports queued) and are not acted on.
    quint64 m_walk = 0;
    QList<QString> m_swapFiles;
    bool m_finderStopped = false;
    QList<UnreadableFolder> m_unreadableFolders;
    qint64 m_reportedBytes = NotMeasured;
};
