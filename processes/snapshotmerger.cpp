#include "processes/snapshotmerger.h"

#include <QSet>

SnapshotMerger::SnapshotMerger(QObject *parent) : QThread(parent) {}

SnapshotMerger::~SnapshotMerger()
{
    wait();
}

void SnapshotMerger::setPreviousItems(const QList<QString> &items)
{
    m_previousItems = items;
}

void SnapshotMerger::setCurrentItems(const QList<QString> &items)
{
    m_currentItems = items;
}

void SnapshotMerger::run()
{
    const QSet<QString> previous(m_previousItems.cbegin(), m_previousItems.cend());
    const QSet<QString> current(m_currentItems.cbegin(), m_currentItems.cend());
    // The order inside each list is the sets' and means nothing.
    const QSet<QString> removed = previous - current;
    if (!removed.isEmpty())
        Q_EMIT removedItems(removed.values());
    const QSet<QString> added = current - previous;
    if (!added.isEmpty())
        Q_EMIT newItems(added.values());
}
