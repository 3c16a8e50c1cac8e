#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class PseudoDevices;
class QThread;
class StreamDigest;

// The reading half of a digest run, on a thread of its own: each file of the
// list is opened, read once into a few reused buffers and given its SHA-1 there
// while the caller computes the MD5 of what was read before it. Small files
// share a buffer; a large one spans several. What it hands over comes in the
// order of the list, one end per file, so the caller reports in that order.
class DigestReader
{
public:
    // File content is cut only at multiples of this, so the caller can count it
    // in chunks of the file whichever buffer each piece is in.
    static constexpr qint64 ChunkSize = 4096;
    static constexpr qint64 BatchBytes = 64 * ChunkSize;
    // The reader runs at most this many buffers ahead of the caller.
    static constexpr int BatchCount = 8;
    static constexpr qint64 ReadAheadBytes = BatchCount * BatchBytes;

    // A piece of one file's content; the file's last one also tells how it ended.
    struct Segment
    {
        enum End {
            Continues,  // more of the file follows
            Read,       // read whole; sha1 holds its digest
            Changed,    // read whole, but its size or time changed meanwhile
            Skipped,    // on a pseudo file system, never opened; reason says which
            Unreadable, // could not be opened or read; reason says why
        };
        QString path; // absolute, native separators, lossless
        qint64 offset = 0;
        qint64 size = 0;
        bool first = false;
        End end = Continues;
        QString reason;
        int readError = 0; // errno of a read that failed after the file opened
        QByteArray sha1;   // raw
    };

    struct Batch
    {
        QByteArray buffer;
        qint64 used = 0;
        std::vector<Segment> segments;
        const char *data(const Segment &segment) const
        {
            return buffer.constData() + segment.offset;
        }
    };

    DigestReader();
    ~DigestReader();
    DigestReader(const DigestReader &) = delete;
    DigestReader &operator=(const DigestReader &) = delete;

    // Starts reading the files (paths in the lossless form of FileName, made
    // absolute here). stopRequested is asked between reads; once it says yes,
    // nothing more is read. The previous run must have been finished.
    void start(const QList<QString> &files, std::function<bool()> stopRequested);
    // The next batch, waiting for it; null once every batch of the run was
    // taken. The caller gives each one back with recycle().
    Batch *take();
    void recycle(Batch *batch);
    // Ends the run, abandoning what is not read yet, and waits until the thread
    // is idle. Every taken batch must have been recycled.
    void finish();
    // Whether the run reached the end of its list (not stopped or abandoned).
    bool completed() const;

private:
    void loop();
    // False when the run stopped before the end of the list.
    bool readList(const QList<QString> &files);
    bool readFile(const QString &native, PseudoDevices &pseudoDevices);
    // A batch with room for another segment of at least a chunk, waiting for
    // one; false when the run is stopped or abandoned meanwhile.
    bool makeRoom();
    Segment &addSegment(const QString &native, bool first);
    void deliver();
    bool shouldStop();

    std::vector<std::unique_ptr<Batch>> m_batches;

    mutable QMutex m_mutex;
    QWaitCondition m_readerWake; // a run, a free batch, an abandon, or quit
    QWaitCondition m_takerWake;  // a full batch, or the end of a run
    std::vector<Batch *> m_free;
    std::deque<Batch *> m_full;
    QList<QString> m_files;
    std::function<bool()> m_stopRequested;
    bool m_runPending = false;
    bool m_reading = false;
    // Asked between reads without the lock.
    std::atomic<bool> m_abandon{false};
    bool m_completed = false;
    bool m_quit = false;

    // The reader thread's own.
    Batch *m_current = nullptr;
    std::unique_ptr<StreamDigest> m_sha1;

    std::unique_ptr<QThread> m_thread;
};
