#pragma once

#include <QList>
#include <QString>
#include <QThread>

// Compares two snapshots of packed records on a thread of its own and reports
// the difference: records that left (removedItems, always first) and records
// that came (newItems). Records are equal only when all their fields are.
class SnapshotMerger : public QThread
{
    Q_OBJECT

public:
    explicit SnapshotMerger(QObject *parent = nullptr);
    ~SnapshotMerger() override;

    // Plain setters; call before start().
    void setPreviousItems(const QList<QString> &items);
    void setCurrentItems(const QList<QString> &items);

Q_SIGNALS:
    void newItems(QList<QString>);
    void removedItems(QList<QString>);

protected:
    void run() override;

private:
    QList<QString> m_previousItems;
    QList<QString> m_currentItems;
};
