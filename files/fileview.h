#pragma once

#include <QFileInfo>
#include <QItemSelection>
#include <QList>
#include <QPointer>
#include <QSet>
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

    // Sizes the given columns to their contents, as after a scan, except the
    // ones whose width the user set; the Path column takes at most the room the
    // other columns leave (its text is elided in the middle), so that the
    // verdict stays in sight.
    void fitColumnsToContents(const QList<int> &sections);
    // Columns the user has resized by hand.
    bool isSizedByUser(int section) const { return m_userSizedSections.contains(section); }

Q_SIGNALS:
    void filesAndDirsDropped(QList<QFileInfo> p_files);
    // Number of selected rows, and whether at least one of them is malicious.
    void selectedFileCount(int p_count, bool p_malicious);
    // The false-positive record ("<md5>|<sha1>|<path>") of the one selected row,
    // for the report dialog.
    void falsePositiveReportRequested(QString p_packed_data);

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
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    SqlModel *sqlModel() const;
    // The distinct selected rows of the SqlModel, top to bottom.
    QList<int> selectedRows() const;
    bool anyMalicious(const QList<int> &rows) const;
    void emitSelectedFileCount();
    void startUpload(const QString &path);

    QPointer<QMenu> m_contextMenu;
    QSet<int> m_userSizedSections;
    // Columns fitted while the view was out of sight (another tab in front),
    // before it had its width: fitted again once it is shown.
    QList<int> m_pendingFit;
    // A mouse button is down on the header: resizes now are the user's.
    bool m_headerPressed = false;
};
