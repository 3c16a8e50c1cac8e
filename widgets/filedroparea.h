#pragma once

#include "ui_filedroparea.h"

#include <QFileInfo>
#include <QList>
#include <QWidget>

// The summary tab's drop target: files and folders dropped on it are handed on
// for a scan.
class FileDropArea : public QWidget, private Ui::FileDropArea
{
    Q_OBJECT

public:
    explicit FileDropArea(QWidget *parent = nullptr);

    void disableDrops();
    void enableDrops();
    void setHighlighted(bool highlighted);

Q_SIGNALS:
    void itemsDropped(QList<QFileInfo> items);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
};
