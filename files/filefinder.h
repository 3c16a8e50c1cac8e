#pragma once

#include "files/progressinterface.h"

#include <QFileInfo>
#include <QList>
#include <QString>

// Walks folders recursively and reports every regular file it meets: each one
// as it is found, and all of them at the end of a run that was not stopped.
// Every folder that could not be read or entered is reported too, in order
// with the files: a tree the walk could not see into is never taken for an
// empty one. Paths are in the lossless form of FileName.
class FileFinder : public ProgressInterface
{
    Q_OBJECT

public:
    explicit FileFinder(QObject *parent = nullptr);
    ~FileFinder() override;

    // Replaces the items (folders and files) of the next run.
    void setItems(const QList<QString> &paths);
    QList<QFileInfo> items() const { return m_items; }

    // Also empties the item list.
    void reset() override;

Q_SIGNALS:
    void filesFound(QList<QString>);
    void fileFound(QString);
    // A folder (or an item) that could not be read or entered, with the
    // reason in the system's words. Emitted on the finder's thread.
    void folderUnreadable(QString path, QString reason);

protected:
    void run() override;

private:
    // Walks one folder; false when the walk was stopped.
    bool scanDirectory(const QString &folder, QList<QString> *found);
    void reportUnreadable(const QString &path, const QString &reason);

    QList<QFileInfo> m_items;
};
