#pragma once

#include "files/processmodifier.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class RegularFile;

// Turns a list of file paths into MD5 and SHA-1 digests on its own thread.
// Each file that can be read yields one digest record "path|sha1|md5"; the end
// of a complete run yields the MD5 digests of all of them. Paths are in the
// lossless form of FileName and may be of any length.
//
// Every other file ends with exactly one report of why it has no digest:
// fileUnreadable then unableToOpenFile (could not be opened or read),
// fileSkipped (a file of a pseudo file system, never opened), or
// fileChangedWhileRead (what was read may mix old and new content).
class DigestCalculator : public ProcessModifier
{
    Q_OBJECT

public:
    explicit DigestCalculator(QObject *parent = nullptr);
    ~DigestCalculator() override;

    // Replaces the files of the next run; call while the worker is idle.
    void setFiles(const QList<QString> &files);

    // Also empties the file list and the byte counts.
    void reset() override;

    // The chunk counter shared by all digest workers, which paces progress
    // reports to one per 1002 chunks of 4096 bytes across files and runs.
    static int sharedChunkCounter();
    static void setSharedChunkCounter(int value);

Q_SIGNALS:
    void digestsFound(QList<QString>);
    void setDigestData(QString);
    void unableToOpenFile(QString);
    // Right before unableToOpenFile for the same path: why, in the system's
    // words ("Permission denied", "Too many levels of symbolic links").
    void fileUnreadable(QString path, QString reason);
    // A file of a pseudo file system (proc, sysfs, ...): its content is kernel
    // state, reading it may never end or consume it. Not opened, no digest.
    void fileSkipped(QString path, QString reason);
    // The file's size or modification time changed while it was read: no
    // digest, as it would be of neither the old nor the new content.
    void fileChangedWhileRead(QString path);

private:
    class Sha1Pipeline;

    struct FileDigests
    {
        bool readFailed = false;
        QString md5;
        QString sha1;
    };

protected:
    void run() override;

private:
    FileDigests digestFile(RegularFile &file);
    void paceProgress();

    QList<QString> m_files;
    qint64 m_bytesDone = 0;
    qint64 m_totalBytes = 0;

    // SHA-1 runs beside MD5 on a second core; the thread lives as long as this
    // worker so that runs do not pay for starting it.
    std::unique_ptr<Sha1Pipeline> m_sha1;
    QByteArray m_buffers[2];
};
