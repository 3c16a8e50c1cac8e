#include "files/digestcalculator.h"

#include "platform/filename.h"
#include "platform/filestatus.h"
#include "platform/pseudodevices.h"
#include "platform/regularfile.h"
#include "platform/systemerror.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QWaitCondition>

#include <atomic>
#include <climits>

namespace {
constexpr qint64 ChunkSize = 4096;
// Files are read in blocks of whole chunks; each block goes to the SHA-1
// thread as one piece while this thread feeds it to MD5 chunk by chunk.
constexpr qint64 BlockSize = 256 * ChunkSize;
// MD5 takes twice the time when fed 4096 bytes at a time; sixteen chunks at
// once cost no more than a whole block, and a stop is still seen within 64 KiB.
constexpr qint64 PieceSize = 16 * ChunkSize;

// Shared by every digest worker without a lock on purpose: it only paces
// progress reports, so a lost update does no harm.
std::atomic<int> sharedChunks{0};
} // namespace

// Hashes blocks with SHA-1 on a thread of its own, one block at a time, while
// the caller goes on with the next one. The caller owns the block memory and
// must not touch a posted block until the next post() or waitIdle() returns.
class DigestCalculator::Sha1Pipeline
{
public:
    Sha1Pipeline() : m_thread(QThread::create([this] { loop(); })) { m_thread->start(); }

    ~Sha1Pipeline()
    {
        {
            QMutexLocker locker(&m_mutex);
            m_quit = true;
            m_wake.wakeAll();
        }
        m_thread->wait();
    }

    void begin()
    {
        waitIdle();
        m_hash.reset();
    }

    void post(const char *data, qint64 size)
    {
        QMutexLocker locker(&m_mutex);
        while (m_data)
            m_idle.wait(&m_mutex);
        m_data = data;
        m_size = size;
        m_wake.wakeAll();
    }

    void waitIdle()
    {
        QMutexLocker locker(&m_mutex);
        while (m_data)
            m_idle.wait(&m_mutex);
    }

    QByteArray result()
    {
        waitIdle();
        return m_hash.result();
    }

private:
    void loop()
    {
        QMutexLocker locker(&m_mutex);
        for (;;) {
            while (!m_data && !m_quit)
                m_wake.wait(&m_mutex);
            if (m_quit)
                return;
            const char *data = m_data;
            const qint64 size = m_size;
            locker.unlock();
            m_hash.addData(QByteArrayView(data, size));
            locker.relock();
            m_data = nullptr;
            m_idle.wakeAll();
        }
    }

    QMutex m_mutex;
    QWaitCondition m_wake;
    QWaitCondition m_idle;
    const char *m_data = nullptr;
    qint64 m_size = 0;
    bool m_quit = false;
    QCryptographicHash m_hash{QCryptographicHash::Sha1};
    std::unique_ptr<QThread> m_thread;
};

DigestCalculator::DigestCalculator(QObject *parent) : ProcessModifier(parent) {}

DigestCalculator::~DigestCalculator()
{
    wait();
}

int DigestCalculator::sharedChunkCounter()
{
    return sharedChunks.load(std::memory_order_relaxed);
}

void DigestCalculator::setSharedChunkCounter(int value)
{
    sharedChunks.store(value, std::memory_order_relaxed);
}

void DigestCalculator::setFiles(const QList<QString> &files)
{
    qDebug().noquote()
        << QStringLiteral("DigestCalculator::setFiles() called with %1 files").arg(files.size());
    m_files = files;
}

void DigestCalculator::reset()
{
    ProgressInterface::reset();
    m_files.clear();
    m_bytesDone = 0;
    m_totalBytes = 0;
}

void DigestCalculator::paceProgress()
{
    const int chunks = sharedChunks.load(std::memory_order_relaxed);
    if (chunks > 1000) {
        // A file that grew since the sizes were summed may take this past 100.
        int percent = 100;
        if (m_totalBytes > 0)
            percent =
                int(qMin(double(m_bytesDone) / double(m_totalBytes) * 100.0, double(INT_MAX)));
        Q_EMIT progressValue(percent);
        sharedChunks.store(0, std::memory_order_relaxed);
    } else {
        sharedChunks.store(chunks + 1, std::memory_order_relaxed);
    }
}

DigestCalculator::FileDigests DigestCalculator::digestFile(RegularFile &file)
{
    FileDigests digests;
    QCryptographicHash md5(QCryptographicHash::Md5);
    // Handing a block to the SHA-1 thread and waiting for its result costs
    // more than hashing one block here: a file of one block is hashed on
    // this thread alone (still correctly if it grew since it was opened).
    const bool alongside = file.size() > BlockSize;
    QCryptographicHash sha1Here(QCryptographicHash::Sha1);
    if (alongside)
        m_sha1->begin();

    bool stopped = isStopRequested();
    for (int block = 0; !stopped; ++block) {
        char *data = m_buffers[block % 2].data();
        // The other buffer may still be with the SHA-1 thread; this one is free.
        const qint64 size = file.read(data, BlockSize);
        if (size < 0) {
            digests.readFailed = true;
            break;
        }
        if (size == 0)
            break;
        if (alongside)
            m_sha1->post(data, size);
        else
            sha1Here.addData(QByteArrayView(data, size));
        for (qint64 piece = 0; piece < size && !stopped; piece += PieceSize) {
            const qint64 pieceEnd = qMin(piece + PieceSize, size);
            md5.addData(QByteArrayView(data + piece, pieceEnd - piece));
            // Progress and stop requests still go by 4096-byte chunks.
            for (qint64 offset = piece; offset < pieceEnd; offset += ChunkSize) {
                m_bytesDone += qMin(ChunkSize, pieceEnd - offset);
                paceProgress();
                if (isStopRequested()) {
                    stopped = true;
                    break;
                }
            }
        }
    }
    const QByteArray sha1 = alongside ? m_sha1->result() : sha1Here.result();
    if (digests.readFailed || isStopRequested())
        return digests;
    digests.md5 = QString::fromLatin1(md5.result().toHex());
    digests.sha1 = QString::fromLatin1(sha1.toHex());
    return digests;
}

void DigestCalculator::run()
{
    ProgressInterface::reset();
    QElapsedTimer timer;
    timer.start();

    if (!m_sha1)
        m_sha1 = std::make_unique<Sha1Pipeline>();
    for (QByteArray &buffer : m_buffers)
        buffer.resize(BlockSize);

    qDebug().noquote()
        << QStringLiteral("DigestCalculator: original file count is %1").arg(m_files.size());
    const QSet<QString> unique(m_files.cbegin(), m_files.cend());
    qDebug().noquote()
        << QStringLiteral("DigestCalculator: unique file count is %1").arg(unique.size());

    m_totalBytes = 0;
    for (const QString &path : std::as_const(m_files))
        m_totalBytes += FileStatus::of(path).size();
    m_bytesDone = 0;

    Q_EMIT progressMaximum(100);
    Q_EMIT progressStatus(tr("Calculating digests..."));
    Q_EMIT progressValue(0);

    // Files of pseudo file systems are known by their device before they are
    // opened: opening and reading some of them has effects.
    PseudoDevices pseudoDevices = PseudoDevices::live();
    QList<QString> md5s;
    int failures = 0;
    int skipped = 0;
    int changed = 0;
    for (const QString &path : std::as_const(m_files)) {
        if (isStopRequested()) {
            qDebug() << "DigestCalculator got stop request.";
            break;
        }
        const QString native = QDir::toNativeSeparators(FileName::absolute(path));
        RegularFile file;
        FileDigests digests;
        const bool opened = file.openScanned(native, pseudoDevices);
        if (!opened && file.failure() == RegularFile::OnPseudoFileSystem) {
            qDebug().noquote() << QStringLiteral("DigestCalculator skipped '%1': %2")
                                      .arg(FileName::readable(native), file.errorString());
            Q_EMIT fileSkipped(native, file.errorString());
            ++skipped;
            continue;
        }
        if (opened) {
            digests = digestFile(file);
            if (digests.readFailed)
                logSystemError(QStringLiteral("DigestCalculator::run() read %1")
                                   .arg(FileName::readable(native)),
                               file.error());
        }
        if (!opened || digests.readFailed) {
            // A file that could not be read to its end has no digest: claiming
            // one for part of it would be a wrong answer.
            qWarning().noquote() << QStringLiteral("DigestCalculator could not open file '%1'.")
                                        .arg(FileName::readable(native));
            Q_EMIT fileUnreadable(native, file.errorString());
            Q_EMIT unableToOpenFile(native);
            ++failures;
            continue;
        }
        // Only the size seen at opening was read; a writer may have been at
        // work meanwhile.
        if (!isStopRequested() && file.changedSinceOpened()) {
            qWarning().noquote() << QStringLiteral(
                                        "DigestCalculator: '%1' changed while it was read.")
                                        .arg(FileName::readable(native));
            Q_EMIT fileChangedWhileRead(native);
            ++changed;
            continue;
        }
        file.close();
        Q_EMIT setDigestData(QStringLiteral("%1|%2|%3").arg(native, digests.sha1, digests.md5));
        md5s.append(digests.md5);
    }

    if (!isStopRequested())
        Q_EMIT digestsFound(md5s);
    if (failures > 0)
        qWarning().noquote()
            << QStringLiteral("DigestCalculator couldn't open %1 files for reading.").arg(failures);
    if (skipped > 0)
        qDebug().noquote() << QStringLiteral(
                                  "DigestCalculator skipped %1 files of pseudo file systems.")
                                  .arg(skipped);
    if (changed > 0)
        qWarning().noquote() << QStringLiteral(
                                    "DigestCalculator: %1 files changed while they were read.")
                                    .arg(changed);
    qDebug().noquote()
        << QStringLiteral("Digest calculations took %1 milliseconds.").arg(timer.elapsed());
    if (isStopRequested())
        Q_EMIT userStopped();
    reset();
}
