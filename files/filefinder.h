#pragma once

#include "files/progressinterface.h"

#include <QFileInfo>
#include <QList>
#include <QString>

// Walks folders recursively and reports every regular file it meets: each one
// as it is found, and all of them at the end of a run that was not stopped.
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

protected:
    void run() override;

private:
    // Walks one folder; false when the walk was stopped.
    bool scanDirectory(const QString &folder, QList<QString> *found);

    QList<QFileInfo> m_items;
};
