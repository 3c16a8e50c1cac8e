#pragma once

#include <QFileInfo>
#include <QItemSelection>
#include <QList>
#include <QPointer>
#include <QString>
#include <QTableView>

class QMenu;
class SqlModel;

// The table of the Files tab over the file results table. Reports the selection
// to the tab, takes files and folders dropped from the desktop, sorts through
// SQL when a header is clicked, and carries out the row actions of the tab's
// menu: reveal, clear, report a false positive and send a file to the upload
// server. The model is the SqlModel itself or a QSortFilterProxyModel over it.
class FileView : public QTableView
{
    Q_OBJECT

public:
    explicit FileView(QWidget *parent = nullptr);
    ~FileView() override;

    // Shown on a context-menu request; none at first (no popup).
    void setContextMenu(QMenu *menu);

    void setModel(QAbstractItemModel *model) override;

Q_SIGNALS:
    void filesAndDirsDropped(QList<QFileInfo> p_files);
    // Number of selected rows, and whether at least one of them is malicious.
    void selectedFileCount(int p_count, bool p_malicious);

public Q_SLOTS:
    void revealItem();
    void userUploadFile();
    void handleMalwareFileFound();
    void userReportFP();
    void removeSelectedIndexes();

protected Q_SLOTS:
    void selectionChanged(const QItemSelection &selected,
                          const QItemSelection &deselected) override;
    void handleSectionClicked(int section);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    SqlModel *sqlModel() const;
    // The distinct selected rows of the SqlModel, top to bottom.
    QList<int> selectedRows() const;
    bool anyMalicious(const QList<int> &rows) const;
    void emitSelectedFileCount();
    void startUpload(const QString &path);

    QPointer<QMenu> m_contextMenu;
};
