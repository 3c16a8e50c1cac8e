#include "files/digestreader.h"

#include "files/streamdigest.h"
#include "platform/filename.h"
#include "platform/pseudodevices.h"
#include "platform/regularfile.h"

#include <QDir>
#include <QMutexLocker>
#include <QThread>

namespace {
// Files in one buffer at most: a buffer of tiny files must not keep the
// caller waiting while the reader opens hundreds of them.
constexpr size_t SegmentsPerBatch = 64;
// Each file starts on a cache line of its own.
constexpr qint64 FileAlignment = 64;
} // namespace

DigestReader::DigestReader()
{
    for (int i = 0; i < BatchCount; ++i) {
        auto batch = std::make_unique<Batch>();
        batch->buffer.resize(BatchBytes);
        batch->segments.reserve(SegmentsPerBatch);
        m_free.push_back(batch.get());
        m_batches.push_back(std::move(batch));
    }
    m_thread.reset(QThread::create([this] { loop(); }));
    m_thread->start();
}

DigestReader::~DigestReader()
{
    {
        QMutexLocker locker(&m_mutex);
        m_quit = true;
        m_abandon = true;
        m_readerWake.wakeAll();
    }
    m_thread->wait();
}

void DigestReader::start(const QList<QString> &files, std::function<bool()> stopRequested)
{
    QMutexLocker locker(&m_mutex);
    m_files = files;
    m_stopRequested = std::move(stopRequested);
    m_abandon = false;
    m_completed = false;
    m_runPending = true;
    m_reading = true;
    m_readerWake.wakeAll();
}

DigestReader::Batch *DigestReader::take()
{
    QMutexLocker locker(&m_mutex);
    while (m_full.empty() && m_reading)
        m_takerWake.wait(&m_mutex);
    if (m_full.empty())
        return nullptr;
    Batch *batch = m_full.front();
    m_full.pop_front();
    return batch;
}

void DigestReader::recycle(Batch *batch)
{
    batch->used = 0;
    batch->segments.clear();
    QMutexLocker locker(&m_mutex);
    m_free.push_back(batch);
    m_readerWake.wakeAll();
}

void DigestReader::finish()
{
    QMutexLocker locker(&m_mutex);
    m_abandon = true;
    m_readerWake.wakeAll();
    while (m_reading)
        m_takerWake.wait(&m_mutex);
    for (Batch *batch : m_full) {
        batch->used = 0;
        batch->segments.clear();
        m_free.push_back(batch);
    }
    m_full.clear();
    m_files.clear();
    m_stopRequested = nullptr;
}

bool DigestReader::completed() const
{
    QMutexLocker locker(&m_mutex);
    return m_completed;
}

void DigestReader::loop()
{
    QMutexLocker locker(&m_mutex);
    for (;;) {
        while (!m_runPending && !m_quit)
            m_readerWake.wait(&m_mutex);
        if (m_quit)
            return;
        m_runPending = false;
        const QList<QString> files = m_files;
        locker.unlock();
        const bool completed = readList(files);
        locker.relock();
        m_completed = completed;
        m_reading = false;
        m_takerWake.wakeAll();
    }
}

bool DigestReader::shouldStop()
{
    return m_abandon.load(std::memory_order_relaxed) || (m_stopRequested && m_stopRequested());
}

bool DigestReader::readList(const QList<QString> &files)
{
    // Files of pseudo file systems are known by their device before they are
    // opened: opening and reading some of them has effects.
    PseudoDevices pseudoDevices = PseudoDevices::live();
    if (!m_sha1)
        m_sha1 = std::make_unique<StreamDigest>(StreamDigest::Sha1);
    bool completed = true;
    for (const QString &path : files) {
        if (!readFile(QDir::toNativeSeparators(FileName::absolute(path)), pseudoDevices)) {
            completed = false;
            break;
        }
    }
    // What was read before a stop still goes out: the caller ends the file
    // it was in.
    if (m_current && !m_current->segments.empty()) {
        deliver();
    } else if (m_current) {
        QMutexLocker locker(&m_mutex);
        m_free.push_back(std::exchange(m_current, nullptr));
    }
    return completed;
}

bool DigestReader::readFile(const QString &native, PseudoDevices &pseudoDevices)
{
    if (!makeRoom())
        return false;
    RegularFile file;
    if (!file.openScanned(native, pseudoDevices)) {
        Segment &segment = addSegment(native, true);
        segment.end = file.failure() == RegularFile::OnPseudoFileSystem ? Segment::Skipped
                                                                        : Segment::Unreadable;
        segment.reason = file.errorString();
        return true;
    }
    m_sha1->reset();
    for (bool first = true;; first = false) {
        if (!first && !makeRoom())
            return false;
        Batch &batch = *m_current;
        const qint64 room = (BatchBytes - batch.used) / ChunkSize * ChunkSize;
        char *data = batch.buffer.data() + batch.used;
        const qint64 size = file.read(data, room);
        Segment &segment = addSegment(native, first);
        if (size < 0) {
            segment.end = Segment::Unreadable;
            segment.reason = file.errorString();
            segment.readError = file.error();
            return true;
        }
        segment.size = size;
        batch.used += size;
        m_sha1->addData(data, size);
        // A short read found the end; a full one may end exactly at the size
        // seen at opening.
        if (size < room || file.atEnd()) {
            // Only the size seen at opening was read; a writer may have been
            // at work meanwhile.
            segment.end = file.changedSinceOpened() ? Segment::Changed : Segment::Read;
            segment.sha1 = m_sha1->result();
            return true;
        }
    }
}

DigestReader::Segment &DigestReader::addSegment(const QString &native, bool first)
{
    Batch &batch = *m_current;
    Segment &segment = batch.segments.emplace_back();
    segment.path = native;
    segment.offset = batch.used;
    segment.first = first;
    return segment;
}

bool DigestReader::makeRoom()
{
    if (shouldStop())
        return false;
    if (m_current) {
        Batch &batch = *m_current;
        batch.used = (batch.used + FileAlignment - 1) / FileAlignment * FileAlignment;
        if (batch.segments.size() < SegmentsPerBatch && BatchBytes - batch.used >= ChunkSize)
            return true;
        deliver();
    }
    QMutexLocker locker(&m_mutex);
    while (m_free.empty() && !m_abandon.load(std::memory_order_relaxed))
        m_readerWake.wait(&m_mutex);
    if (m_abandon.load(std::memory_order_relaxed))
        return false;
    m_current = m_free.back();
    m_free.pop_back();
    return true;
}

void DigestReader::deliver()
{
    Batch *batch = std::exchange(m_current, nullptr);
    QMutexLocker locker(&m_mutex);
    m_full.push_back(batch);
    m_takerWake.wakeAll();
}
