#include "registry/orvexcache.h"

#include "platform/clock.h"
#include "registry/orvexresponse.h"

#include <QDebug>
#include <QTimer>

OrvexCache::OrvexCache(QObject *parent) : QObject(parent), m_purgeTimer(new QTimer(this))
{
    m_purgeTimer->setInterval(1000);
    connect(m_purgeTimer, &QTimer::timeout, this, &OrvexCache::purgeOld);
    m_purgeTimer->start();
}

OrvexCache::~OrvexCache()
{
    qDebug() << "OrvexCache::~OrvexCache() called";
    QMutexLocker locker(&m_mutex);
    qDeleteAll(m_entries);
    m_entries.clear();
}

void OrvexCache::insert(const QString &digest, OrvexResponse *response)
{
    if (!response)
        return;
    QMutexLocker locker(&m_mutex);
    OrvexResponse *&slot = m_entries[digest];
    if (slot != response)
        delete slot;
    slot = response;
}

bool OrvexCache::response(const QString &digest, uint *lastSeen, int *detectionRate,
                          uint *storedAt) const
{
    QMutexLocker locker(&m_mutex);
    const OrvexResponse *stored = m_entries.value(digest, nullptr);
    if (!stored)
        return false;
    if (lastSeen)
        *lastSeen = stored->lastSeen();
    if (detectionRate)
        *detectionRate = stored->detectionRate();
    if (storedAt)
        *storedAt = stored->storedAt();
    return true;
}

void OrvexCache::purgeOld()
{
    QMutexLocker locker(&m_mutex);
    if (m_entries.isEmpty())
        return;
    const qint64 now = Clock::currentSecsSinceEpoch();
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (qint64(it.value()->storedAt()) + maxAge < now) {
            qDebug().noquote() << QStringLiteral(
                                      "OrvexCache::purgeOld() purging item '%1' from the cache.")
                                      .arg(it.key());
            delete it.value();
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
}
