#pragma once

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>

class OrvexResponse;
class QTimer;

// Registry answers of the last hour, shared by every handler that the owner
// starts. Handler threads insert and look up while the owner's timer purges, so
// every access holds the lock, and look-ups hand out copies of the values:
// a stored response may be replaced or purged by another thread at any time.
class OrvexCache : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxAge = 3600;

    explicit OrvexCache(QObject *parent = nullptr);
    ~OrvexCache() override;

    // Stores the response under the digest and takes ownership of it; a response
    // already stored there is deleted.
    void insert(const QString &digest, OrvexResponse *response);
    // True when a response is stored under the digest; its values are copied into
    // the arguments that are not null.
    bool response(const QString &digest, uint *lastSeen = nullptr, int *detectionRate = nullptr,
                  uint *storedAt = nullptr) const;

protected Q_SLOTS:
    void purgeOld();

private:
    mutable QMutex m_mutex;
    QHash<QString, OrvexResponse *> m_entries;
    QTimer *m_purgeTimer;
};
