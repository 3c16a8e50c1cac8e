#include "deeptree.h"

#include <QFile>
#include <QProcess>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
int openFolderAt(int folder, const char *name)
{
    return ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

int descend(int folder, const QByteArray &name, int levels)
{
    for (int i = 0; i < levels && folder >= 0; ++i) {
        const int next = openFolderAt(folder, name.constData());
        ::close(folder);
        folder = next;
    }
    return folder;
}
} // namespace

DeepTree::DeepTree(const QString &base, int depth, const QByteArray &name)
    : m_base(base), m_name(name), m_depth(depth)
{
    int folder = ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < depth && folder >= 0; ++i) {
        if (::mkdirat(folder, name.constData(), 0755) != 0) {
            ::close(folder);
            return;
        }
        folder = descend(folder, name, 1);
    }
    m_valid = folder >= 0;
    if (folder >= 0)
        ::close(folder);
}

DeepTree::~DeepTree()
{
    QProcess::execute(QStringLiteral("rm"),
                      {QStringLiteral("-rf"), QStringLiteral("--"),
                       m_base + QLatin1Char('/') + QFile::decodeName(m_name)});
}

QString DeepTree::folderPath(int level) const
{
    QString path = m_base;
    const QString step = QLatin1Char('/') + QFile::decodeName(m_name);
    path.reserve(path.size() + step.size() * level);
    for (int i = 0; i < level; ++i)
        path += step;
    return path;
}

int DeepTree::openLevel(int level) const
{
    const int base =
        ::open(QFile::encodeName(m_base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return base < 0 ? -1 : descend(base, m_name, level);
}

bool DeepTree::writeFile(int level, const QByteArray &name, const QByteArray &content) const
{
    const int folder = openLevel(level);
    if (folder < 0)
        return false;
    const int fd =
        ::openat(folder, name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::close(folder);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    return written;
}

bool DeepTree::makeFolder(int level, const QByteArray &name) const
{
    const int folder = openLevel(level);
    if (folder < 0)
        return false;
    const bool made = ::mkdirat(folder, name.constData(), 0755) == 0;
    ::close(folder);
    return made;
}

QString DeepTree::makeBranch(int level, const QByteArray &name, int depth,
                             const QByteArray &fileName, const QByteArray &content) const
{
    int folder = openLevel(level);
    if (folder < 0 || ::mkdirat(folder, name.constData(), 0755) != 0) {
        if (folder >= 0)
            ::close(folder);
        return QString();
    }
    folder = descend(folder, name, 1);
    QString path = folderPath(level) + QLatin1Char('/') + QFile::decodeName(name);
    for (int i = 1; i < depth && folder >= 0; ++i) {
        if (::mkdirat(folder, "d", 0755) != 0) {
            ::close(folder);
            return QString();
        }
        folder = descend(folder, "d", 1);
        path += QLatin1String("/d");
    }
    if (folder < 0)
        return QString();
    const int fd =
        ::openat(folder, fileName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::close(folder);
    if (fd < 0)
        return QString();
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    return written ? path + QLatin1Char('/') + QFile::decodeName(fileName) : QString();
}
