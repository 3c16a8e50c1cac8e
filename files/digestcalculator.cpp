#include "files/digestcalculator.h"

#include "files/streamdigest.h"
#include "platform/filename.h"
#include "platform/filestatus.h"
#include "platform/systemerror.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSet>

#include <atomic>
#include <climits>

namespace {
constexpr qint64 ChunkSize = DigestReader::ChunkSize;
// MD5 takes twice the time when fed 4096 bytes at a time; sixteen chunks at
// once cost no more than a whole buffer, and a stop is still seen within 64 KiB.
constexpr qint64 PieceSize = 16 * ChunkSize;

// Shared by every digest worker without a lock on purpose: it only paces
// progress reports, so a lost update does no harm.
std::atomic<int> sharedChunks{0};

QString digestRecord(const QString &path, const QString &sha1, const QString &md5)
{
    return QStringLiteral("%1|%2|%3").arg(path, sha1, md5);
}
} // namespace

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

bool DigestCalculator::digestPiece(const char *data, qint64 size)
{
    for (qint64 piece = 0; piece < size; piece += PieceSize) {
        const qint64 pieceEnd = qMin(piece + PieceSize, size);
        m_md5->addData(data + piece, pieceEnd - piece);
        // Progress and stop requests still go by 4096-byte chunks of the file:
        // the reader cuts a file only at whole chunks.
        for (qint64 offset = piece; offset < pieceEnd; offset += ChunkSize) {
            m_bytesDone += qMin(ChunkSize, pieceEnd - offset);
            paceProgress();
            if (isStopRequested())
                return false;
        }
    }
    return true;
}

void DigestCalculator::reportFile(const DigestReader::Segment &last, Tally &tally)
{
    const QString &native = last.path;
    switch (last.end) {
    case DigestReader::Segment::Continues:
        return;
    case DigestReader::Segment::Skipped:
        qDebug().noquote() << QStringLiteral("DigestCalculator skipped '%1': %2")
                                  .arg(FileName::readable(native), last.reason);
        Q_EMIT fileSkipped(native, last.reason);
        ++tally.skipped;
        return;
    case DigestReader::Segment::Unreadable:
        if (last.readError != 0)
            logSystemError(
                QStringLiteral("DigestCalculator::run() read %1").arg(FileName::readable(native)),
                last.readError);
        // A file that could not be read to its end has no digest: claiming
        // one for part of it would be a wrong answer.
        qWarning().noquote() << QStringLiteral("DigestCalculator could not open file '%1'.")
                                    .arg(FileName::readable(native));
        Q_EMIT fileUnreadable(native, last.reason);
        Q_EMIT unableToOpenFile(native);
        ++tally.failures;
        return;
    case DigestReader::Segment::Read:
    case DigestReader::Segment::Changed:
        break;
    }
    if (isStopRequested()) {
        // Stopped as the file ended: its record comes without digests.
        Q_EMIT setDigestData(digestRecord(native, QString(), QString()));
        return;
    }
    if (last.end == DigestReader::Segment::Changed) {
        qWarning().noquote() << QStringLiteral("DigestCalculator: '%1' changed while it was read.")
                                    .arg(FileName::readable(native));
        Q_EMIT fileChangedWhileRead(native);
        ++tally.changed;
        return;
    }
    const QString md5 = QString::fromLatin1(m_md5->result().toHex());
    Q_EMIT setDigestData(digestRecord(native, QString::fromLatin1(last.sha1.toHex()), md5));
    tally.md5s.append(md5);
}

void DigestCalculator::run()
{
    ProgressInterface::reset();
    QElapsedTimer timer;
    timer.start();

    if (!m_reader) {
        m_reader = std::make_unique<DigestReader>();
        m_md5 = std::make_unique<StreamDigest>(StreamDigest::Md5);
    }

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

    // The reports come in the order of the list: the reader hands its files
    // over in that order.
    m_reader->start(m_files, [this] { return isStopRequested(); });
    Tally tally;
    QString current; // the file whose segments are being digested
    bool stopped = false;
    while (!stopped) {
        DigestReader::Batch *batch = m_reader->take();
        if (!batch)
            break;
        for (const DigestReader::Segment &segment : batch->segments) {
            if (segment.first) {
                if (isStopRequested()) {
                    qDebug() << "DigestCalculator got stop request.";
                    stopped = true;
                    break;
                }
                current = segment.path;
                m_md5->reset();
            }
            if (!digestPiece(batch->data(segment), segment.size)) {
                // Stopped inside a file: its record still comes, without digests.
                Q_EMIT setDigestData(digestRecord(current, QString(), QString()));
                stopped = true;
                break;
            }
            if (segment.end != DigestReader::Segment::Continues) {
                reportFile(segment, tally);
                current.clear();
            }
        }
        m_reader->recycle(batch);
    }
    if (!stopped && !m_reader->completed()) {
        // The reader saw the stop first.
        if (!current.isEmpty())
            Q_EMIT setDigestData(digestRecord(current, QString(), QString()));
        else
            qDebug() << "DigestCalculator got stop request.";
    }
    m_reader->finish();

    if (!isStopRequested())
        Q_EMIT digestsFound(tally.md5s);
    if (tally.failures > 0)
        qWarning().noquote() << QStringLiteral(
                                    "DigestCalculator couldn't open %1 files for reading.")
                                    .arg(tally.failures);
    if (tally.skipped > 0)
        qDebug().noquote() << QStringLiteral(
                                  "DigestCalculator skipped %1 files of pseudo file systems.")
                                  .arg(tally.skipped);
    if (tally.changed > 0)
        qWarning().noquote() << QStringLiteral(
                                    "DigestCalculator: %1 files changed while they were read.")
                                    .arg(tally.changed);
    qDebug().noquote()
        << QStringLiteral("Digest calculations took %1 milliseconds.").arg(timer.elapsed());
    if (isStopRequested())
        Q_EMIT userStopped();
    reset();
}
