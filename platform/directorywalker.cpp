#include "platform/directorywalker.h"

#include "platform/pseudofilesystems.h"
#include "platform/systemerror.h"
#include "platform/uniquefd.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unordered_set>

namespace {
struct DirCloser
{
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

struct PendingFolder
{
    QByteArray path;
    quint64 parentDevice;
};

struct FolderIdHash
{
    size_t operator()(const std::pair<quint64, quint64> &id) const
    {
        return std::hash<quint64>()(id.first * 1000003u ^ id.second);
    }
};

// Failures that are part of walking a live system: no permission, or the
// entry went away or changed kind since it was listed.
bool isExpectedOpenError(int error)
{
    return error == EACCES || error == EPERM || error == ENOENT || error == ENOTDIR ||
           error == ELOOP;
}

unsigned char typeFromMode(mode_t mode)
{
    if (S_ISREG(mode))
        return DT_REG;
    if (S_ISDIR(mode))
        return DT_DIR;
    return DT_UNKNOWN; // anything else is passed over
}
} // namespace

DirectoryWalker::DirectoryWalker(const QSet<quint64> &pseudoDevices)
    : m_pseudoDevices(pseudoDevices)
{
}

DirectoryWalker::Result DirectoryWalker::walk(const QString &root, const FileHandler &onFile,
                                              const StopCheck &stopRequested)
{
    const QSet<quint64> pseudoDevices =
        m_pseudoDevices ? *m_pseudoDevices : PseudoFileSystems::readPseudoDevices();

    QByteArray rootPath = QFile::encodeName(root);
    while (rootPath.size() > 1 && rootPath.endsWith('/'))
        rootPath.chop(1);
    if (rootPath.isEmpty())
        return NotEntered;

    std::unordered_set<std::pair<quint64, quint64>, FolderIdHash> entered;
    QList<PendingFolder> pending{{rootPath, 0}};
    QList<QByteArray> subfolders;
    bool isRoot = true;

    while (!pending.isEmpty()) {
        const PendingFolder folder = pending.takeLast();
        // The root may itself be a link to a folder (a dropped link); nothing
        // below it is followed.
        const int flags =
            O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (isRoot ? 0 : O_NOFOLLOW);
        UniqueFd fd(::open(folder.path.constData(), flags));
        const bool wasRoot = isRoot;
        isRoot = false;
        if (!fd.isValid()) {
            if (!isExpectedOpenError(errno))
                logSystemError(QStringLiteral("DirectoryWalker::walk() open %1")
                                   .arg(QFile::decodeName(folder.path)));
            if (wasRoot)
                return NotEntered;
            continue;
        }
        struct stat st;
        if (::fstat(fd.get(), &st) != 0) {
            logSystemError(QStringLiteral("DirectoryWalker::walk() fstat %1")
                               .arg(QFile::decodeName(folder.path)));
            if (wasRoot)
                return NotEntered;
            continue;
        }
        const quint64 device = st.st_dev;
        bool pseudo = pseudoDevices.contains(device);
        if (!pseudo && device != folder.parentDevice) {
            // A mount point: its type is asked once, not for every folder.
            struct statfs fs;
            if (::fstatfs(fd.get(), &fs) == 0)
                pseudo = PseudoFileSystems::isPseudoMagic(quint64(fs.f_type));
        }
        if (pseudo || !entered.insert({device, quint64(st.st_ino)}).second) {
            if (wasRoot)
                return NotEntered;
            continue;
        }

        DirHandle dir(::fdopendir(fd.get()));
        if (!dir) {
            logSystemError(QStringLiteral("DirectoryWalker::walk() fdopendir %1")
                               .arg(QFile::decodeName(folder.path)));
            continue;
        }
        fd.release(); // now owned by dir

        const QByteArray prefix = folder.path == "/" ? QByteArray("/") : folder.path + '/';
        subfolders.clear();
        for (;;) {
            errno = 0;
            const dirent *entry = ::readdir(dir.get());
            if (!entry) {
                if (errno != 0)
                    logSystemError(QStringLiteral("DirectoryWalker::walk() readdir %1")
                                       .arg(QFile::decodeName(folder.path)));
                break;
            }
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            if (stopRequested && stopRequested())
                return Stopped;
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                // Some file systems do not fill d_type in; ask without following links.
                struct stat entryStat;
                if (::fstatat(::dirfd(dir.get()), name, &entryStat, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = typeFromMode(entryStat.st_mode);
            }
            if (type == DT_REG)
                onFile(QFile::decodeName(prefix + name));
            else if (type == DT_DIR)
                subfolders.append(prefix + name);
        }
        // Pushed in reverse so that subfolders are walked in listing order.
        for (qsizetype i = subfolders.size() - 1; i >= 0; --i)
            pending.append({subfolders.at(i), device});
    }
    return Completed;
}
