#include "platform/descriptorwriter.h"

#include "platform/systemerror.h"

#include <cerrno>
#include <unistd.h>

DescriptorWriter::DescriptorWriter(int fd, QObject *parent) : QIODevice(parent), m_fd(fd) {}

bool DescriptorWriter::open(OpenMode mode)
{
    if (m_fd < 0 || (mode & ReadOnly) || !(mode & WriteOnly))
        return false;
    return QIODevice::open(mode | Unbuffered);
}

qint64 DescriptorWriter::readData(char *, qint64)
{
    return -1;
}

qint64 DescriptorWriter::writeData(const char *data, qint64 size)
{
    qint64 written = 0;
    while (written < size) {
        const ssize_t n = ::write(m_fd, data + written, size_t(size - written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_error = errno;
            setErrorString(systemErrorText(m_error));
            return -1;
        }
        written += n;
    }
    return written;
}
