#pragma once

#include <QByteArray>
#include <QString>

// A chain of folders, one inside the other, as deep as asked: deeper than
// PATH_MAX if need be. It is made with mkdirat()/openat(), so no long path is
// ever handed to the system whole, and removed with `rm -rf`, which walks by
// descriptors too (QTemporaryDir cannot remove what it cannot name).
class DeepTree
{
public:
    // `depth` folders named `name` below base, an existing folder.
    DeepTree(const QString &base, int depth, const QByteArray &name = "d");
    ~DeepTree();
    DeepTree(const DeepTree &) = delete;
    DeepTree &operator=(const DeepTree &) = delete;

    bool isValid() const { return m_valid; }
    int depth() const { return m_depth; }
    // The path of the folder at level (0: base itself).
    QString folderPath(int level) const;

    // Makes a file or a folder inside the folder at level; false on failure.
    bool writeFile(int level, const QByteArray &name, const QByteArray &content) const;
    bool makeFolder(int level, const QByteArray &name) const;
    // A chain of `depth` folders inside the folder at level, the first named
    // `name`, the others "d", with a file `fileName` holding `content` at the
    // bottom. Returns the file's path, empty on failure.
    QString makeBranch(int level, const QByteArray &name, int depth, const QByteArray &fileName,
                       const QByteArray &content) const;

private:
    // A descriptor of the folder at level, -1 on failure; the caller closes it.
    int openLevel(int level) const;

    QString m_base;
    QByteArray m_name;
    int m_depth = 0;
    bool m_valid = false;
};
