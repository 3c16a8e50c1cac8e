#include "views/processview.h"

#include "processes/processrecord.h"
#include "processes/processsqlmodel.h"
#include "views/processdelegate.h"

#include <QDebug>
#include <QSet>

ProcessView::ProcessView(QWidget *parent) : QListView(parent), m_delegate(new ProcessDelegate(this))
{
    setItemDelegate(m_delegate);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setSelectionMode(QAbstractItemView::SingleSelection);
}

void ProcessView::setProcessModel(ProcessSqlModel *model)
{
    m_model = model;
    setModel(model);
    setModelColumn(0);
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, &ProcessView::rememberSelection);
    connect(model, &QAbstractItemModel::modelReset, this, &ProcessView::restoreSelection);
}

QString ProcessView::recordOf(int row) const
{
    return ProcessRecord::pack(
        m_model->rowPid(row), m_model->baseName(row),
        m_model->data(m_model->index(row, ProcessSqlModel::ParentPidSection), Qt::EditRole)
            .toUInt());
}

QString ProcessView::selectedRecord() const
{
    const QModelIndexList rows =
        selectionModel() ? selectionModel()->selectedIndexes() : QModelIndexList();
    return rows.isEmpty() ? QString() : recordOf(rows.first().row());
}

void ProcessView::rememberSelection()
{
    // Two resets may come before the list is drawn again: the first one's
    // record holds until it is found.
    if (m_kept)
        return;
    const QString record = selectedRecord();
    if (!record.isEmpty())
        m_kept = record;
}

void ProcessView::restoreSelection()
{
    if (!m_kept)
        return;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        if (recordOf(row) != *m_kept)
            continue;
        m_kept.reset();
        const QModelIndex item = m_model->index(row, 0);
        m_restoring = true;
        selectionModel()->setCurrentIndex(item, QItemSelectionModel::ClearAndSelect);
        m_restoring = false;
        return;
    }
    // Filtered out or gone: nothing is selected, and the process comes back
    // selected if a later reset (a cleared filter) shows it again.
}

void ProcessView::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    const QModelIndexList indexes = selected.indexes();
    if (indexes.isEmpty()) {
        qDebug() << "ProcessView::selectionChanged() selected_indexes is empty";
        // The row that lost the selection is drawn again.
        QListView::selectionChanged(selected, deselected);
        return;
    }
    const int row = indexes.first().row();
    // A user's choice replaces a process waiting to be selected again.
    if (!m_restoring)
        m_kept.reset();
    const QString record = recordOf(row);
    // The module and socket tables filter again only for another process.
    if (record != m_lastRecord || !m_restoring)
        Q_EMIT pidSelected(m_model->rowPid(row));
    m_lastRecord = record;
    Q_EMIT selectedProcessInfo(m_model->processFPData(row), m_model->isMalware(row),
                               m_model->hasMaliciousModules(row));
    QListView::selectionChanged(selected, deselected);
}
