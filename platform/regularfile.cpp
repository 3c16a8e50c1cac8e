#include "platform/regularfile.h"

#include "platform/filename.h"
#include "platform/longpath.h"
#include "platform/pseudodevices.h"
#include "platform/systemerror.h"

#include <QCoreApplication>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {
constexpr off_t SequentialHintSize = 128 * 1024;
} // namespace

bool RegularFile::open(const QString &path)
{
    return open(path, nullptr);
}

bool RegularFile::openScanned(const QString &path, PseudoDevices &pseudoDevices)
{
    return open(path, &pseudoDevices);
}

bool RegularFile::fail(Failure failure, int error)
{
    m_failure = failure;
    m_error = error;
    return false;
}

bool RegularFile::open(const QString &path, PseudoDevices *pseudoDevices)
{
    m_fd.reset();
    m_failure = NoFailure;
    m_error = 0;
    m_pseudoType.clear();
    m_size = 0;
    m_offset = 0;
    m_atEnd = false;
    const QByteArray name = FileName::toBytes(path);
    // Look before opening: opening some devices and kernel files already has
    // an effect.
    struct stat st;
    if (!LongPath::stat(name, &st))
        return fail(SystemError, errno);
    if (!S_ISREG(st.st_mode))
        return fail(NotRegularFile, ENODEV);
    if (pseudoDevices && pseudoDevices->isPseudo(st.st_dev, name, &m_pseudoType))
        return fail(OnPseudoFileSystem, 0);
    // O_NONBLOCK keeps open() from waiting should the path have become a FIFO
    // since the look; fstat() then tells what was really opened.
    UniqueFd fd(LongPath::open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.isValid())
        return fail(SystemError, errno);
    struct stat opened;
    if (::fstat(fd.get(), &opened) != 0)
        return fail(SystemError, errno);
    if (!S_ISREG(opened.st_mode))
        return fail(NotRegularFile, ENODEV);
    // Another file took the name since the look: it is judged by itself.
    if (pseudoDevices && opened.st_dev != st.st_dev &&
        pseudoDevices->isPseudoFd(opened.st_dev, fd.get(), &m_pseudoType))
        return fail(OnPseudoFileSystem, 0);
    // Some FUSE file systems answer non-blocking reads with EAGAIN. Of the
    // flags F_SETFL changes, only O_NONBLOCK was set: clearing them all drops it.
    ::fcntl(fd.get(), F_SETFL, 0);
    // Read-ahead hints only pay off for files longer than the default window.
    if (opened.st_size > SequentialHintSize)
        ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    m_size = opened.st_size;
    m_modifiedSecs = opened.st_mtim.tv_sec;
    m_modifiedNsecs = opened.st_mtim.tv_nsec;
    m_fd = std::move(fd);
    return true;
}

qint64 RegularFile::read(char *buffer, qint64 max)
{
    if (!m_fd.isValid()) {
        m_failure = SystemError;
        m_error = EBADF;
        return -1;
    }
    // A file that grows while it is read would otherwise be read for as long
    // as its writer keeps up.
    if (m_size > 0)
        max = qMin(max, m_size - m_offset);
    qint64 total = 0;
    while (total < max && !m_atEnd) {
        const ssize_t n = ::read(m_fd.get(), buffer + total, size_t(max - total));
        if (n == 0) {
            m_atEnd = true;
            break;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_failure = SystemError;
            m_error = errno;
            return -1;
        }
        total += n;
        m_offset += n;
    }
    // Files of /proc and /sys claim a size of 0 and come a page per read: only
    // a read of nothing ends them.
    if (m_size > 0 && m_offset >= m_size)
        m_atEnd = true;
    return total;
}

QString RegularFile::errorString() const
{
    switch (m_failure) {
    case NoFailure:
        return QString();
    case SystemError:
        return systemErrorText(m_error);
    case NotRegularFile:
        return QCoreApplication::translate("RegularFile", "Not a regular file");
    case OnPseudoFileSystem:
        if (m_pseudoType.isEmpty())
            return QCoreApplication::translate("RegularFile", "On a pseudo file system");
        return QCoreApplication::translate("RegularFile", "On a pseudo file system (%1)")
            .arg(QString::fromLatin1(m_pseudoType));
    }
    return QString();
}

bool RegularFile::changedSinceOpened() const
{
    struct stat now;
    if (!m_fd.isValid() || ::fstat(m_fd.get(), &now) != 0)
        return true;
    return now.st_size != m_size || now.st_mtim.tv_sec != m_modifiedSecs ||
           now.st_mtim.tv_nsec != m_modifiedNsecs;
}
