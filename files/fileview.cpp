#include "files/fileview.h"

#include "files/sqlmodel.h"
#include "files/userprompt.h"
#include "platform/clock.h"
#include "platform/filemanager.h"
#include "platform/filename.h"
#include "platform/fileproperties.h"
#include "platform/regularfile.h"
#include "platform/serveraddress.h"

#include <QAbstractProxyModel>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDebug>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <memory>

namespace {
// Longest wait for the upload server to accept, and for a send to make progress.
constexpr int UploadTimeoutMs = 30000;
// Bytes read from the file and queued on the socket at a time: a large file is
// streamed, never held in memory whole.
constexpr qint64 UploadChunkBytes = 256 * 1024;
// More files than this ask before a file-manager window opens for each.
constexpr int RevealWithoutAsking = 10;

// One upload on its way; lives as long as its socket's connections.
struct Transfer
{
    QString path;
    RegularFile file;
    qint64 fileSize = 0;
    qint64 bytesRead = 0;
    qint64 bytesWritten = 0;
    bool connected = false;
    bool allQueued = false;
    bool done = false;
};
} // namespace

FileView::FileView(QWidget *parent) : QTableView(parent)
{
    verticalHeader()->setDefaultSectionSize(QFontMetrics(QApplication::font()).height() + 8);
    horizontalHeader()->setSectionsMovable(true);
    // Sorting happens in SQL (handleSectionClicked), not through the model's
    // sort(); the header only has to be clickable and show the direction.
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setSortIndicatorShown(true);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this,
            &FileView::handleSectionClicked);
    // A width the user gives a column with the mouse (a drag, or a double click
    // on the edge) is kept when the columns are fitted again after a scan.
    horizontalHeader()->viewport()->installEventFilter(this);
    connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this](int section) {
        if (m_headerPressed)
            m_userSizedSections.insert(section);
    });
    // Long paths keep their start and their file name; wrapped, they would be
    // cut at the end of their first line instead.
    setWordWrap(false);
    setTextElideMode(Qt::ElideMiddle);

    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    // The model writes every edit straight into the table; the results are not
    // the user's to retype.
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setAcceptDrops(true);
}

FileView::~FileView()
{
    // Uploads end with the view, silently: their handlers must not run against a
    // view that is half destroyed.
    const QList<QTcpSocket *> uploads = findChildren<QTcpSocket *>(Qt::FindDirectChildrenOnly);
    for (QTcpSocket *socket : uploads) {
        socket->disconnect();
        delete socket;
    }
}

void FileView::setContextMenu(QMenu *menu)
{
    m_contextMenu = menu;
}

void FileView::setModel(QAbstractItemModel *newModel)
{
    if (model())
        disconnect(model(), &QAbstractItemModel::modelReset, this,
                   &FileView::emitSelectedFileCount);
    QTableView::setModel(newModel);
    if (!newModel)
        return;
    // A re-select (after a clear, a sort or a filter) empties the selection
    // without selectionChanged(); the tab must still learn that nothing is
    // selected any more. Connected after the selection model's own handler.
    connect(newModel, &QAbstractItemModel::modelReset, this, &FileView::emitSelectedFileCount);
}

void FileView::fitColumnsToContents(const QList<int> &sections)
{
    QHeaderView *header = horizontalHeader();
    m_pendingFit = isVisible() ? QList<int>() : sections;
    // Resizes made here are not the user's, whatever the mouse does meanwhile.
    const bool pressed = std::exchange(m_headerPressed, false);
    for (int section : sections) {
        if (!m_userSizedSections.contains(section) && !header->isSectionHidden(section))
            resizeColumnToContents(section);
    }
    const int path = SqlModel::PathSection;
    if (sections.contains(path) && !m_userSizedSections.contains(path) &&
        !header->isSectionHidden(path)) {
        int others = 0;
        for (int section = 0; section < header->count(); ++section) {
            if (section != path && !header->isSectionHidden(section))
                others += header->sectionSize(section);
        }
        // Where the others do not fit anyway (a small window), the path still
        // keeps a sixth of the view.
        const int least = qMax(fontMetrics().horizontalAdvance(QString(16, QLatin1Char('x'))),
                               viewport()->width() / 6);
        const int room = qMax(least, viewport()->width() - others);
        if (header->sectionSize(path) > room)
            header->resizeSection(path, room);
    }
    m_headerPressed = pressed;
}

void FileView::showEvent(QShowEvent *event)
{
    QTableView::showEvent(event);
    // After the layouts have given the view its width. The list goes as a copy:
    // the fit clears the member.
    if (!m_pendingFit.isEmpty())
        QTimer::singleShot(0, this, [this] {
            if (isVisible() && !m_pendingFit.isEmpty())
                fitColumnsToContents(QList<int>(m_pendingFit));
        });
}

void FileView::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event);
    if (isVisible() && !m_pendingFit.isEmpty())
        fitColumnsToContents(QList<int>(m_pendingFit));
}

bool FileView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == horizontalHeader()->viewport()) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            m_headerPressed = true;
            break;
        case QEvent::MouseButtonRelease:
            m_headerPressed = false;
            break;
        default:
            break;
        }
    }
    return QTableView::eventFilter(watched, event);
}

SqlModel *FileView::sqlModel() const
{
    QAbstractItemModel *current = model();
    while (auto *proxy = qobject_cast<QAbstractProxyModel *>(current))
        current = proxy->sourceModel();
    return qobject_cast<SqlModel *>(current);
}

QList<int> FileView::selectedRows() const
{
    QList<int> rows;
    if (!selectionModel())
        return rows;
    QItemSelection selection = selectionModel()->selection();
    QAbstractItemModel *current = model();
    while (auto *proxy = qobject_cast<QAbstractProxyModel *>(current)) {
        selection = proxy->mapSelectionToSource(selection);
        current = proxy->sourceModel();
    }
    for (const QItemSelectionRange &range : std::as_const(selection)) {
        for (int row = range.top(); row <= range.bottom(); ++row)
            rows.append(row);
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

bool FileView::anyMalicious(const QList<int> &rows) const
{
    const SqlModel *files = sqlModel();
    return files && std::any_of(rows.cbegin(), rows.cend(),
                                [files](int row) { return files->isRowMalicious(row); });
}

void FileView::emitSelectedFileCount()
{
    const QList<int> rows = selectedRows();
    Q_EMIT selectedFileCount(int(rows.size()), anyMalicious(rows));
}

void FileView::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    QTableView::selectionChanged(selected, deselected);
    emitSelectedFileCount();
}

void FileView::handleSectionClicked(int section)
{
    qDebug().noquote()
        << QStringLiteral("FileView::handleSectionClicked( %1 ) called").arg(section);
    SqlModel *files = sqlModel();
    if (!files)
        return;
    int sourceSection = section;
    if (auto *proxy = qobject_cast<QAbstractProxyModel *>(model())) {
        const QModelIndex mapped = proxy->mapToSource(proxy->index(0, section));
        if (mapped.isValid())
            sourceSection = mapped.column();
    }
    QString column = files->columnName(sourceSection);
    if (column.isEmpty()) {
        qWarning().noquote() << QStringLiteral(
                                    "FileView::handleSectionClicked() no column for section %1")
                                    .arg(section);
        return;
    }
    // The size column holds text ("9.8 KB"); bytes orders sizes by value.
    if (column == QLatin1String("size"))
        column = QStringLiteral("bytes");
    const QString order = horizontalHeader()->sortIndicatorOrder() == Qt::AscendingOrder
                              ? QStringLiteral("ASC")
                              : QStringLiteral("DESC");
    files->setOrderByClause(QStringLiteral(" ORDER BY %1 %2").arg(column, order));
    files->select();
}

void FileView::handleMalwareFileFound()
{
    if (SqlModel *files = sqlModel())
        files->setOrderByClause(QStringLiteral(" ORDER BY detection_rate DESC"));
}

void FileView::removeSelectedIndexes()
{
    SqlModel *files = sqlModel();
    const QList<int> rows = selectedRows();
    if (!files || rows.isEmpty())
        return; // nothing to ask about
    const QString text =
        rows.size() == 1 ? tr("Are you sure you want to clear this entry?")
                         : tr("Are you sure you want to clear these %1 entries?").arg(rows.size());
    if (UserPrompt::question(this, tr("Confirm Clear"), text, QMessageBox::Yes | QMessageBox::No) !=
        QMessageBox::Yes)
        return;
    files->removeRows(rows);
}

void FileView::revealItem()
{
    qDebug() << "FileView::revealItem() called";
    SqlModel *files = sqlModel();
    const QList<int> rows = selectedRows();
    if (!files || rows.isEmpty())
        return;

    if (anyMalicious(rows) &&
        UserPrompt::warning(
            this, tr("Warning"),
            tr("Showing the file's location will allow you to interact with it.\nInteracting "
               "with a malicious file can cause damage to your system.\n\nAre you sure you "
               "want to go to this file?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;

    const QList<QString> paths = files->filePaths(rows);
    if (paths.size() > RevealWithoutAsking &&
        UserPrompt::information(this, tr("Warning"),
                                tr("Showing %1 files' locations may clutter your "
                                   "desktop.\n\nAre you sure you want to open %1 new windows?")
                                    .arg(paths.size()),
                                QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No) != QMessageBox::Yes)
        return;

    for (const QString &path : paths) {
        qDebug().noquote() << QStringLiteral("FileView::revealItem() revealing '%1'")
                                  .arg(FileName::readable(path));
        revealInFileManager(path);
    }
}

void FileView::userReportFP()
{
    qDebug() << "FileView::userReportFP() called";
    SqlModel *files = sqlModel();
    const QList<int> rows = selectedRows();
    if (!files || rows.isEmpty()) {
        qWarning() << "FileView::userReportFP() called but no items are selected!";
        return;
    }
    if (rows.size() > 1) {
        qWarning() << "FileView::userReportFP() called but more than one item is selected!";
        return;
    }
    Q_EMIT falsePositiveReportRequested(files->fileFPData(rows.first()));
}

void FileView::userUploadFile()
{
    qDebug() << "FileView::userUploadFile() called";
    SqlModel *files = sqlModel();
    const QList<int> rows = selectedRows();
    if (!files || rows.isEmpty()) {
        qWarning() << "FileView::userUploadFile() called but no items are selected!";
        return;
    }
    const QList<QString> paths = files->filePaths(rows);
    qDebug() << "FileView::userUploadFile() uploading files:";
    for (const QString &path : paths)
        qDebug().noquote() << QStringLiteral("\t%1").arg(FileName::readable(path));
    // Only the first file is sent; the others are only listed above.
    startUpload(paths.first());
}

// The upload runs on the GUI thread without blocking it: each step waits for the
// socket's signals. The socket owns the timer and the connections, so deleting
// it ends everything; the view owns the socket, so closing the view ends it too.
void FileView::startUpload(const QString &path)
{
    auto transfer = std::make_shared<Transfer>();
    transfer->path = path;
    auto *socket = new QTcpSocket(this);
    auto *timer = new QTimer(socket);
    timer->setSingleShot(true);

    // Ends the upload once: the socket goes, the user hears of a failure after
    // the socket's signal has returned.
    const auto finish = [this, socket, timer, transfer](bool ok, const QString &userText) {
        if (transfer->done)
            return;
        transfer->done = true;
        timer->stop();
        transfer->file.close();
        if (!ok)
            socket->abort();
        socket->deleteLater();
        if (!userText.isEmpty()) {
            QMetaObject::invokeMethod(
                this, [this, userText] { UserPrompt::warning(this, tr("Send File"), userText); },
                Qt::QueuedConnection);
        }
    };
    const auto fail = [transfer, finish] {
        qWarning() << "Upload Failed!";
        finish(false, tr("The file '%1' could not be sent to the upload server.")
                          .arg(FileName::readable(transfer->path)));
    };
    const auto failConnect = [finish] {
        qWarning() << "Couldn't connect to upload server!";
        finish(false, tr("Could not connect to the upload server."));
    };

    // Keeps a few chunks queued on the socket until the whole file is queued,
    // then closes; the close completes once the last byte has gone out.
    const auto pump = [socket, transfer, fail] {
        QByteArray chunk;
        while (!transfer->allQueued && socket->bytesToWrite() < UploadChunkBytes) {
            const qint64 wanted = qMin(UploadChunkBytes, transfer->fileSize - transfer->bytesRead);
            qint64 got = 0;
            if (wanted > 0) {
                chunk.resize(wanted);
                got = transfer->file.read(chunk.data(), wanted);
                if (got < 0) {
                    qWarning().noquote()
                        << QStringLiteral("FileView::userUploadFile() read error %1 in '%2'")
                               .arg(transfer->file.error())
                               .arg(FileName::readable(transfer->path));
                    fail();
                    return;
                }
            }
            if (got > 0) {
                const qint64 queued = socket->write(chunk.constData(), got);
                if (queued != got) {
                    fail();
                    return;
                }
                transfer->bytesRead += got;
                transfer->bytesWritten += queued;
            }
            // A file that shrank since its size was read ends early.
            if (got < wanted || transfer->bytesRead >= transfer->fileSize) {
                transfer->allQueued = true;
                qDebug().noquote() << QStringLiteral("read in %1 bytes... file is %2 bytes")
                                          .arg(transfer->bytesRead)
                                          .arg(transfer->fileSize);
                qDebug().noquote() << QStringLiteral("wrote %1 bytes").arg(transfer->bytesWritten);
                socket->disconnectFromHost();
            }
        }
    };

    connect(timer, &QTimer::timeout, socket, [transfer, fail, failConnect] {
        if (transfer->connected)
            fail(); // no byte went out for the whole wait
        else
            failConnect();
    });
    connect(socket, &QTcpSocket::connected, socket, [timer, transfer, finish, pump] {
        transfer->connected = true;
        qWarning() << "Connected to upload server!";
        if (!transfer->file.open(transfer->path)) {
            qWarning() << "Couldn't open file to upload!";
            finish(false, tr("The file '%1' could not be opened for sending.")
                              .arg(FileName::readable(transfer->path)));
            return;
        }
        transfer->fileSize = qMax<qint64>(0, FileProperties::sizeOf(transfer->path));
        timer->start(Clock::wait(UploadTimeoutMs));
        pump();
    });
    connect(socket, &QTcpSocket::bytesWritten, socket, [timer, transfer, pump] {
        if (transfer->done)
            return;
        timer->start(Clock::wait(UploadTimeoutMs)); // progress: the wait starts again
        pump();
    });
    connect(socket, &QTcpSocket::errorOccurred, socket,
            [socket, transfer, fail, failConnect](QAbstractSocket::SocketError) {
                if (transfer->done)
                    return;
                qWarning().noquote()
                    << QStringLiteral("FileView::userUploadFile() socket error: %1")
                           .arg(socket->errorString());
                if (transfer->connected)
                    fail();
                else
                    failConnect();
            });
    connect(socket, &QTcpSocket::disconnected, socket, [socket, transfer, finish, fail] {
        if (transfer->done)
            return;
        if (!transfer->allQueued || socket->bytesToWrite() > 0) {
            fail();
            return;
        }
        qWarning() << "Upload OK!";
        finish(true, QString());
    });

    const ServerAddress server = ServerAddress::uploadServer();
    timer->start(Clock::wait(UploadTimeoutMs));
    socket->connectToHost(server.host, server.port, QIODevice::ReadWrite);
}

void FileView::contextMenuEvent(QContextMenuEvent *event)
{
    if (!m_contextMenu)
        return;
    m_contextMenu->popup(event->globalPos());
    event->accept();
}

void FileView::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        event->ignore();
}

void FileView::dragMoveEvent(QDragMoveEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        event->ignore();
}

void FileView::dragLeaveEvent(QDragLeaveEvent *event)
{
    event->accept();
}

void FileView::dropEvent(QDropEvent *event)
{
    if (!event->mimeData()->hasUrls()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    QList<QFileInfo> items;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl &url : urls) {
        // A web link or an empty entry names no file here; scanning "" would
        // scan the working folder. The URL's own bytes name the file: its
        // decoded text loses those of a name that is not UTF-8.
        const QString path = FileName::fromLocalFileUrl(url);
        if (path.isEmpty()) {
            qWarning().noquote() << QStringLiteral(
                                        "FileView::dropEvent() ignoring '%1', not a local file")
                                        .arg(url.toDisplayString());
            continue;
        }
        qDebug().noquote()
            << QStringLiteral("FileView: Dropped File URL: %1").arg(FileName::readable(path));
        items.append(QFileInfo(path));
    }
    if (!items.isEmpty())
        Q_EMIT filesAndDirsDropped(items);
}

void FileView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Delete)
        removeSelectedIndexes();
    QTableView::keyPressEvent(event);
}
