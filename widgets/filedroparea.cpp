#include "widgets/filedroparea.h"

#include "platform/filename.h"
#include "platform/filestatus.h"

#include <QDebug>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace {
QString yesNo(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
} // namespace

FileDropArea::FileDropArea(QWidget *parent) : QWidget(parent)
{
    setupUi(this);
    setAcceptDrops(true);
}

void FileDropArea::disableDrops()
{
    frame->setStyleSheet(QStringLiteral("border: none;"));
    label->hide();
    setEnabled(false);
}

void FileDropArea::enableDrops()
{
    frame->setStyleSheet(QString());
    label->show();
    setEnabled(true);
}

void FileDropArea::setHighlighted(bool highlighted)
{
    if (!highlighted) {
        frame->setStyleSheet(QString());
        label->setStyleSheet(QString());
        return;
    }
    // Scoped to the frame: a bare declaration would give the label a gradient
    // of its own on top of the frame's. Clipped inside the border, so that the
    // white dashes stand on the page rather than on the gradient.
    frame->setStyleSheet(
        QStringLiteral("#frame { border-color: white; "
                       "background: qlineargradient(x1:0, y1:0, x2:0, y2:1, "
                       "stop:0 rgba(13, 146, 247, 255), stop:1 rgba(6, 100, 233, 255)); "
                       "background-clip: padding; }"));
    label->setStyleSheet(QStringLiteral("color: white;"));
}

void FileDropArea::dragEnterEvent(QDragEnterEvent *event)
{
    const QMimeData *data = event->mimeData();
    qDebug() << "FileDropArea::dragEnterEvent() called";
    qDebug().noquote()
        << QStringLiteral("\t\tproposed action: %1").arg(static_cast<int>(event->proposedAction()));
    qDebug().noquote() << QStringLiteral("\t\thas HTML? %1").arg(yesNo(data->hasHtml()));
    qDebug().noquote() << QStringLiteral("\t\thas text? %1").arg(yesNo(data->hasText()));
    qDebug().noquote() << QStringLiteral("\t\thas URLs? %1").arg(yesNo(data->hasUrls()));
    if (data->hasHtml())
        qDebug().noquote() << QStringLiteral("\t\tHTML: [%1]").arg(data->html());
    if (data->hasText())
        qDebug().noquote() << QStringLiteral("\t\tText: [%1]").arg(data->text());
    if (data->hasUrls()) {
        for (const QUrl &url : data->urls())
            qDebug().noquote() << QStringLiteral("\t\tURL: [%1]").arg(url.toString());
    }

    if (!data->hasUrls()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    setHighlighted(true);
}

void FileDropArea::dragLeaveEvent(QDragLeaveEvent *)
{
    setHighlighted(false);
}

void FileDropArea::dropEvent(QDropEvent *event)
{
    qDebug() << "FileDropArea::dropEvent() called";
    setHighlighted(false);
    const QMimeData *data = event->mimeData();
    if (!data->hasUrls())
        return;

    event->acceptProposedAction();
    QList<QFileInfo> items;
    for (const QUrl &url : data->urls()) {
        // The URL's own bytes name the file: its decoded text loses those of a
        // name that is not UTF-8. Remote URLs give an empty path.
        const QString path = FileName::fromLocalFileUrl(url);
        qDebug().noquote() << QStringLiteral("FileDropArea::dropEvent() accepted item '%1'")
                                  .arg(FileName::readable(path));
        // Only what a scan can read: folders and regular files; pipes and
        // devices would block or never end.
        const FileStatus status = FileStatus::of(path);
        if (!path.isEmpty() && (status.isDirectory() || status.isRegular()))
            items.append(QFileInfo(path));
    }
    emit itemsDropped(items);
}
