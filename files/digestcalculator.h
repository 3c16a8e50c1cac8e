#pragma once

#include "files/digestreader.h"
#include "files/processmodifier.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class StreamDigest;

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

protected:
    void run() override;

private:
    // What a run has told so far.
    struct Tally
    {
        QList<QString> md5s;
        int failures = 0;
        int skipped = 0;
        int changed = 0;
    };

    // MD5 of the next piece of the current file, counted in chunks for the
    // progress and the stop; false once a stop is requested.
    bool digestPiece(const char *data, qint64 size);
    // The one report of a file whose last segment this is.
    void reportFile(const DigestReader::Segment &last, Tally &tally);
    void paceProgress();

    QList<QString> m_files;
    qint64 m_bytesDone = 0;
    qint64 m_totalBytes = 0;

    // Files are opened, read and given their SHA-1 on the reader's thread
    // while this one computes MD5, the slower of the two, and reports. Both
    // live as long as this worker so that runs do not pay for starting them.
    std::unique_ptr<DigestReader> m_reader;
    std::unique_ptr<StreamDigest> m_md5;
};
