#include "platform/directorywalker.h"

#include "platform/filename.h"
#include "platform/longpath.h"
#include "platform/pseudofilesystems.h"
#include "platform/systemerror.h"
#include "platform/uniquefd.h"

#include <QCoreApplication>
#include <QList>

#include <cerrno>
#include <cstddef>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unordered_set>
#include <vector>

namespace {
constexpr int FolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
constexpr size_t ListingBufferSize = 32 * 1024;

struct FolderIdHash
{
    size_t operator()(const std::pair<quint64, quint64> &id) const
    {
        return std::hash<quint64>()(id.first * 1000003u ^ id.second);
    }
};

// A folder on the way from the root to where the walk is.
struct Folder
{
    UniqueFd fd; // closed while the folder is far above the walk
    quint64 device = 0;
    quint64 inode = 0;
    // Lengths of the walk's path (bytes and text) up to this folder's "/".
    qsizetype bytesLength = 0;
    qsizetype textLength = 0;
    QList<QByteArray> subfolders;
    qsizetype next = 0; // the subfolder to enter next
};

unsigned char typeFromMode(mode_t mode)
{
    if (S_ISREG(mode))
        return DT_REG;
    if (S_ISDIR(mode))
        return DT_DIR;
    return DT_UNKNOWN; // anything else is passed over
}

QString pseudoReason(const QByteArray &type)
{
    if (type.isEmpty())
        return QCoreApplication::translate("DirectoryWalker", "On a pseudo file system");
    return QCoreApplication::translate("DirectoryWalker", "On a pseudo file system (%1)")
        .arg(QString::fromLatin1(type));
}

class Walk
{
public:
    Walk(const QHash<quint64, QByteArray> &pseudoDevices, int maxOpenFolders,
         const DirectoryWalker::FileHandler &onFile, const DirectoryWalker::StopCheck &stop,
         const DirectoryWalker::FolderHandler &onUnreadable)
        : m_pseudoDevices(pseudoDevices), m_maxOpenFolders(maxOpenFolders), m_onFile(onFile),
          m_stop(stop), m_onUnreadable(onUnreadable)
    {
    }

    DirectoryWalker::Result run(const QString &root);

private:
    enum Entry { Entered, Passed, Stopped };

    Entry enter(UniqueFd fd, quint64 parentDevice, bool isRoot);
    bool list(Folder &folder);
    bool reopenParent(const Folder &left);
    void releaseFarFolders();
    const QByteArray &nameOf(size_t index) const;
    void report(const QString &reason);
    void reportError(int error) { report(systemErrorText(error)); }
    QString currentFolderText() const;

    const QHash<quint64, QByteArray> &m_pseudoDevices;
    const int m_maxOpenFolders;
    const DirectoryWalker::FileHandler &m_onFile;
    const DirectoryWalker::StopCheck &m_stop;
    const DirectoryWalker::FolderHandler &m_onUnreadable;

    std::vector<Folder> m_stack;
    // The path of the folder being entered or listed, with its "/"; the
    // lossless text beside the bytes, so that each file's path is its
    // folder's text and its own name.
    QByteArray m_path;
    QString m_text;
    std::unordered_set<std::pair<quint64, quint64>, FolderIdHash> m_entered;
    std::vector<char> m_listing;
};

QString Walk::currentFolderText() const
{
    // The folder's path without its trailing "/" ("/" itself stays).
    if (m_text.size() > 1 && m_text.endsWith(u'/'))
        return m_text.left(m_text.size() - 1);
    return m_text;
}

void Walk::report(const QString &reason)
{
    if (m_onUnreadable)
        m_onUnreadable(currentFolderText(), reason);
}

const QByteArray &Walk::nameOf(size_t index) const
{
    const Folder &parent = m_stack[index - 1];
    return parent.subfolders.at(parent.next - 1);
}

DirectoryWalker::Result Walk::run(const QString &root)
{
    QString text = root;
    while (text.size() > 1 && text.endsWith(u'/'))
        text.chop(1);
    if (text.isEmpty())
        return DirectoryWalker::NotEntered;
    m_path = FileName::toBytes(text);
    m_text = text;
    m_listing.resize(ListingBufferSize);

    // The root may itself be a link to a folder (a dropped link); nothing
    // below it is followed. Its path may be of any length.
    UniqueFd fd = LongPath::open(m_path, FolderFlags);
    if (!fd.isValid()) {
        reportError(errno);
        return DirectoryWalker::NotEntered;
    }
    if (m_path != "/") {
        m_path += '/';
        m_text += u'/';
    }
    switch (enter(std::move(fd), 0, true)) {
    case Stopped:
        return DirectoryWalker::Stopped;
    case Passed:
        return DirectoryWalker::NotEntered;
    case Entered:
        break;
    }

    while (!m_stack.empty()) {
        const size_t top = m_stack.size() - 1;
        if (m_stack[top].next == m_stack[top].subfolders.size()) {
            // Every subfolder is done: back to the parent.
            Folder left = std::move(m_stack[top]);
            m_stack.pop_back();
            if (!m_stack.empty() && !m_stack.back().fd.isValid() && !reopenParent(left))
                m_stack.back().next = m_stack.back().subfolders.size();
            continue;
        }
        Folder &parent = m_stack[top];
        const QByteArray &name = parent.subfolders.at(parent.next++);
        m_path.truncate(parent.bytesLength);
        m_text.truncate(parent.textLength);
        m_path += name;
        m_text += FileName::fromBytes(name);
        UniqueFd child(::openat(parent.fd.get(), name.constData(), FolderFlags | O_NOFOLLOW));
        if (!child.isValid()) {
            // Gone, or no longer a folder, since it was listed: nothing to read.
            const int error = errno;
            if (error != ENOENT && error != ENOTDIR && error != ELOOP)
                reportError(error);
            continue;
        }
        m_path += '/';
        m_text += u'/';
        if (enter(std::move(child), parent.device, false) == Stopped)
            return DirectoryWalker::Stopped;
    }
    return DirectoryWalker::Completed;
}

// Takes a folder just opened at m_path: judges it, lists it and makes it the
// top of the stack. Passed: not to be walked (pseudo, already walked, failed).
Walk::Entry Walk::enter(UniqueFd fd, quint64 parentDevice, bool isRoot)
{
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        reportError(errno);
        return Passed;
    }
    const quint64 device = st.st_dev;
    QByteArray pseudoType;
    bool pseudo = false;
    const auto known = m_pseudoDevices.constFind(device);
    if (known != m_pseudoDevices.constEnd()) {
        pseudo = true;
        pseudoType = known.value();
    } else if (device != parentDevice) {
        // A mount point: its type is asked once, not for every folder.
        struct statfs fs;
        if (::fstatfs(fd.get(), &fs) == 0 && PseudoFileSystems::isPseudoMagic(quint64(fs.f_type))) {
            pseudo = true;
            pseudoType = PseudoFileSystems::typeOfMagic(quint64(fs.f_type));
        }
    }
    if (pseudo) {
        // Below the root a pseudo mount is simply not part of the tree.
        if (isRoot)
            report(pseudoReason(pseudoType));
        return Passed;
    }
    if (!m_entered.insert({device, quint64(st.st_ino)}).second)
        return Passed;

    Folder folder;
    folder.fd = std::move(fd);
    folder.device = device;
    folder.inode = st.st_ino;
    folder.bytesLength = m_path.size();
    folder.textLength = m_text.size();
    m_stack.push_back(std::move(folder));
    releaseFarFolders();
    return list(m_stack.back()) ? Entered : Stopped;
}

// Reports the folder's files and keeps its subfolders for later, in listing
// order. False when the walk was asked to stop.
bool Walk::list(Folder &folder)
{
    char *buffer = m_listing.data();
    for (;;) {
        const ssize_t n = ::getdents64(folder.fd.get(), buffer, m_listing.size());
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // What was listed so far stays reported; the rest is unknown.
            reportError(errno);
            return true;
        }
        for (ssize_t offset = 0; offset < n;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer + offset);
            offset += entry->d_reclen;
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            if (m_stop && m_stop())
                return false;
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                // Some file systems do not fill d_type in; ask without following links.
                struct stat entryStat;
                if (::fstatat(folder.fd.get(), name, &entryStat, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = typeFromMode(entryStat.st_mode);
            }
            if (type == DT_REG) {
                m_onFile(m_text + FileName::fromBytes(name, qsizetype(qstrlen(name))));
            } else if (type == DT_DIR) {
                folder.subfolders.append(QByteArray(name));
            }
        }
    }
}

// Keeps the descriptors of a deep walk bounded: the root and the folders
// nearest the walk stay open, those in between are closed until the walk
// comes back to them.
void Walk::releaseFarFolders()
{
    const size_t open = size_t(m_maxOpenFolders) - 1; // the root is held besides
    if (m_stack.size() > open + 1)
        m_stack[m_stack.size() - 1 - open].fd.reset();
}

// Opens the (closed) folder on top of the stack again, the one that `left`,
// just finished, lies in: through "..", or when that leads elsewhere (a folder
// was moved meanwhile) name by name from the nearest folder still open. Each
// step must reach the very folder entered before. False, with the folder
// reported, when it cannot be reached any more.
bool Walk::reopenParent(const Folder &left)
{
    Folder &parent = m_stack.back();
    m_path.truncate(parent.bytesLength);
    m_text.truncate(parent.textLength);
    const auto isFolder = [](const UniqueFd &fd, const Folder &expected) {
        struct stat st;
        return fd.isValid() && ::fstat(fd.get(), &st) == 0 &&
               quint64(st.st_dev) == expected.device && quint64(st.st_ino) == expected.inode;
    };
    if (left.fd.isValid()) {
        UniqueFd up(::openat(left.fd.get(), "..", FolderFlags));
        if (isFolder(up, parent)) {
            parent.fd = std::move(up);
            return true;
        }
    }
    size_t from = m_stack.size() - 1;
    while (from > 0 && !m_stack[from].fd.isValid())
        --from;
    UniqueFd fd;
    int error = 0;
    for (size_t index = from + 1; index < m_stack.size(); ++index) {
        const int folderFd = index == from + 1 ? m_stack[from].fd.get() : fd.get();
        UniqueFd next(::openat(folderFd, nameOf(index).constData(), FolderFlags | O_NOFOLLOW));
        if (!next.isValid())
            error = errno;
        if (!isFolder(next, m_stack[index])) {
            fd.reset();
            break;
        }
        fd = std::move(next);
    }
    if (fd.isValid()) {
        parent.fd = std::move(fd);
        return true;
    }
    if (error != 0)
        reportError(error);
    else
        report(QCoreApplication::translate("DirectoryWalker", "Moved while it was scanned"));
    return false;
}
} // namespace

DirectoryWalker::DirectoryWalker(const QSet<quint64> &pseudoDevices)
{
    QHash<quint64, QByteArray> devices;
    for (const quint64 device : pseudoDevices)
        devices.insert(device, QByteArray());
    m_pseudoDevices = devices;
}

void DirectoryWalker::setMaxOpenFolders(int count)
{
    m_maxOpenFolders = qMax(2, count);
}

DirectoryWalker::Result DirectoryWalker::walk(const QString &root, const FileHandler &onFile,
                                              const StopCheck &stopRequested,
                                              const FolderHandler &onFolderUnreadable)
{
    const QHash<quint64, QByteArray> pseudoDevices =
        m_pseudoDevices ? *m_pseudoDevices : PseudoFileSystems::readPseudoDeviceTypes();
    Walk walk(pseudoDevices, m_maxOpenFolders, onFile, stopRequested, onFolderUnreadable);
    return walk.run(root);
}
