#pragma once

#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

// The digests a query handler still waits for. The GUI thread adds to them while
// the worker takes answered ones off, so every access holds the lock. It also
// records whether a run is still taking additions: the worker's decision to end
// and a late addition are serialised here, so an added digest is never lost.
// Copies of a digest are counted rather than stored, which keeps taking an
// answered digest off cheap for large lists.
class PendingDigests
{
public:
    // Adds the digests when a run takes additions; false when it does not.
    bool appendIfRunning(const QList<QString> &digests);
    // Replaces the digests and marks a run as taking additions.
    void start(const QList<QString> &digests);
    // The distinct pending digests in order of arrival (a digest answered and
    // added again may keep its earlier place).
    QList<QString> snapshot();
    // Removes every copy of the digest; returns how many there were.
    int removeAll(const QString &digest);
    bool contains(const QString &digest) const;
    bool isEmpty() const;
    // Ends the run when nothing is pending; false when digests arrived meanwhile.
    bool finishIfEmpty();
    // Ends the run whatever is pending (a stop).
    void finish();
    bool isRunning() const;

private:
    mutable QMutex m_mutex;
    QList<QString> m_order; // may hold answered digests and repeats until the next snapshot
    QHash<QString, int> m_copies;
    bool m_running = false;
};
