#pragma once

#include <QListView>
#include <QString>

#include <optional>

class ProcessDelegate;
class ProcessSqlModel;

// The list of processes, drawn by ProcessDelegate. The table behind it is
// re-selected after every change the monitor brings and at every filter
// change; the selection stays on the same process (pid, name and parent) as
// long as the list still shows it.
class ProcessView : public QListView
{
    Q_OBJECT

public:
    explicit ProcessView(QWidget *parent = nullptr);

    // Takes the process table; call once, instead of setModel().
    void setProcessModel(ProcessSqlModel *model);
    ProcessDelegate *processDelegate() const { return m_delegate; }

    // The selected process as a packed record; empty when none is selected.
    QString selectedRecord() const;

Q_SIGNALS:
    void pidSelected(quint32);
    void selectedProcessInfo(QString, bool, bool);

protected:
    void selectionChanged(const QItemSelection &selected,
                          const QItemSelection &deselected) override;

private:
    QString recordOf(int row) const;
    void rememberSelection();
    void restoreSelection();

    ProcessDelegate *m_delegate;
    ProcessSqlModel *m_model = nullptr;
    // The process selected when the table was reset, until it is selected again.
    std::optional<QString> m_kept;
    bool m_restoring = false;
    QString m_lastRecord;
};
