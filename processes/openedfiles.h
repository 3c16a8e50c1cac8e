#pragma once

#include "platform/uniquefd.h"

#include <QHash>
#include <QList>
#include <QString>

#include <vector>

// Files opened and checked beforehand (the very file a process has mapped or
// runs), held open while a digest worker reads them again by the path
// "/proc/self/fd/<n>", which leads to the open file and to nothing else. Each
// file carries the key the caller knows it by.
class OpenedFiles
{
public:
    OpenedFiles() = default;
    OpenedFiles(const OpenedFiles &) = delete;
    OpenedFiles &operator=(const OpenedFiles &) = delete;

    // Takes the descriptor; returns the path through which it is read.
    QString add(UniqueFd fd, const QString &key);
    // The key of a path that add() returned; empty for any other path.
    QString keyOf(const QString &path) const { return m_keys.value(path); }
    QList<QString> paths() const { return m_paths; }
    int size() const { return int(m_paths.size()); }
    bool isEmpty() const { return m_paths.isEmpty(); }
    // Closes every file.
    void clear();

private:
    std::vector<UniqueFd> m_fds;
    QList<QString> m_paths;
    QHash<QString, QString> m_keys;
};
