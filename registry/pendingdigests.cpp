#include "registry/pendingdigests.h"

#include <QSet>

bool PendingDigests::appendIfRunning(const QList<QString> &digests)
{
    QMutexLocker locker(&m_mutex);
    if (!m_running)
        return false;
    for (const QString &digest : digests) {
        int &copies = m_copies[digest];
        if (copies++ == 0)
            m_order.append(digest);
    }
    return true;
}

void PendingDigests::start(const QList<QString> &digests)
{
    QMutexLocker locker(&m_mutex);
    m_order.clear();
    m_copies.clear();
    for (const QString &digest : digests) {
        int &copies = m_copies[digest];
        if (copies++ == 0)
            m_order.append(digest);
    }
    m_running = true;
}

QList<QString> PendingDigests::snapshot()
{
    QMutexLocker locker(&m_mutex);
    // The order list keeps answered digests, and a digest answered and added again
    // appears twice; both are dropped here.
    QList<QString> distinct;
    distinct.reserve(m_copies.size());
    QSet<QString> seen;
    seen.reserve(m_copies.size());
    for (const QString &digest : std::as_const(m_order)) {
        if (m_copies.contains(digest) && !seen.contains(digest)) {
            seen.insert(digest);
            distinct.append(digest);
        }
    }
    m_order = distinct;
    return distinct;
}

int PendingDigests::removeAll(const QString &digest)
{
    QMutexLocker locker(&m_mutex);
    return m_copies.take(digest);
}

bool PendingDigests::contains(const QString &digest) const
{
    QMutexLocker locker(&m_mutex);
    return m_copies.contains(digest);
}

bool PendingDigests::isEmpty() const
{
    QMutexLocker locker(&m_mutex);
    return m_copies.isEmpty();
}

bool PendingDigests::finishIfEmpty()
{
    QMutexLocker locker(&m_mutex);
    if (!m_copies.isEmpty())
        return false;
    m_running = false;
    return true;
}

void PendingDigests::finish()
{
    QMutexLocker locker(&m_mutex);
    m_running = false;
}

bool PendingDigests::isRunning() const
{
    QMutexLocker locker(&m_mutex);
    return m_running;
}
