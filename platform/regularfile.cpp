#include "platform/regularfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {
constexpr off_t SequentialHintSize = 128 * 1024;
} // namespace

bool RegularFile::open(const QString &path)
{
    m_fd.reset();
    m_error = 0;
    m_size = 0;
    m_offset = 0;
    m_atEnd = false;
    const QByteArray name = QFile::encodeName(path);
    // Look before opening: opening some devices already has an effect.
    struct stat st;
    if (::stat(name.constData(), &st) != 0) {
        m_error = errno;
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        m_error = ENODEV;
        return false;
    }
    // O_NONBLOCK keeps open() from waiting should the path have become a FIFO
    // since the look; fstat() then tells what was really opened.
    UniqueFd fd(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.isValid()) {
        m_error = errno;
        return false;
    }
    if (::fstat(fd.get(), &st) != 0) {
        m_error = errno;
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        m_error = ENODEV;
        return false;
    }
    // Some FUSE file systems answer non-blocking reads with EAGAIN. Of the
    // flags F_SETFL changes, only O_NONBLOCK was set: clearing them all drops it.
    ::fcntl(fd.get(), F_SETFL, 0);
    // Read-ahead hints only pay off for files longer than the default window.
    if (st.st_size > SequentialHintSize)
        ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    m_size = st.st_size;
    m_fd = std::move(fd);
    return true;
}

qint64 RegularFile::read(char *buffer, qint64 max)
{
    if (!m_fd.isValid()) {
        m_error = EBADF;
        return -1;
    }
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
            m_error = errno;
            return -1;
        }
        total += n;
        m_offset += n;
        // A short read of a regular file ends at its end; before the size seen
        // at opening it may be an interrupted one, so reading goes on. Files
        // of /proc and /sys claim a size of 0 and come a page per read.
        if (n < max - (total - n) && m_size > 0 && m_offset >= m_size)
            m_atEnd = true;
    }
    return total;
}
