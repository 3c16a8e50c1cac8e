#include "platform/processmaps.h"

#include "platform/uniquefd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
const QByteArray DeletedMark = " (deleted)";

bool readHex(const char *&at, const char *end, quint64 *value)
{
    quint64 result = 0;
    const char *begin = at;
    for (; at != end; ++at) {
        const char c = *at;
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        if (result >> 60)
            return false;
        result = result << 4 | quint64(digit);
    }
    *value = result;
    return at != begin;
}

bool readDecimal(const char *&at, const char *end, quint64 *value)
{
    quint64 result = 0;
    const char *begin = at;
    for (; at != end && *at >= '0' && *at <= '9'; ++at) {
        const quint64 digit = quint64(*at - '0');
        if (result > (~quint64(0) - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    *value = result;
    return at != begin;
}

bool expect(const char *&at, const char *end, char c)
{
    if (at == end || *at != c)
        return false;
    ++at;
    return true;
}

void skipBlanks(const char *&at, const char *end)
{
    while (at != end && *at == ' ')
        ++at;
}

// The kernel writes a line break in a mapped name as "\012" (and nothing
// else escaped): a name holding those four characters reads the same.
QByteArray unescapeLineBreaks(const char *begin, const char *end)
{
    QByteArray path(begin, end - begin);
    if (path.contains("\\012"))
        path.replace("\\012", "\n");
    return path;
}

// One line "start-end perms offset major:minor inode   path"; false for a
// line that is not an executable file mapping.
bool parseLine(const char *at, const char *end, MappedFile *file)
{
    quint64 start = 0, stop = 0, offset = 0, inode = 0;
    if (!readHex(at, end, &start) || !expect(at, end, '-') || !readHex(at, end, &stop) ||
        !expect(at, end, ' '))
        return false;
    // "r-xp": only the third letter matters.
    if (end - at < 5 || at[2] != 'x' || at[4] != ' ')
        return false;
    at += 5;
    if (!readHex(at, end, &offset) || !expect(at, end, ' '))
        return false;
    const char *device = at;
    quint64 major = 0, minor = 0;
    if (!readHex(at, end, &major) || !expect(at, end, ':') || !readHex(at, end, &minor))
        return false;
    const char *deviceEnd = at;
    if (!expect(at, end, ' ') || !readDecimal(at, end, &inode))
        return false;
    skipBlanks(at, end);
    if (at == end || *at != '/')
        return false;
    file->path = unescapeLineBreaks(at, end);
    file->start = start;
    file->end = stop;
    file->device = QByteArray(device, deviceEnd - device);
    file->inode = inode;
    return true;
}
} // namespace

quint64 MappedFile::deviceNumber() const
{
    const qsizetype colon = device.indexOf(':');
    bool majorOk = false, minorOk = false;
    const uint major = device.left(colon).toUInt(&majorOk, 16);
    const uint minor = device.mid(colon + 1).toUInt(&minorOk, 16);
    if (colon < 0 || !majorOk || !minorOk)
        return 0;
    return quint64(makedev(major, minor));
}

bool MappedFile::isMarkedDeleted() const
{
    return path.endsWith(DeletedMark);
}

bool ProcessMaps::isFilePath(const QByteArray &path)
{
    if (!path.startsWith('/'))
        return false;
    if (path.startsWith("/memfd:") || path.startsWith("/SYSV"))
        return false;
    return path != "/dev/zero" && path != "/dev/zero" + DeletedMark;
}

QList<MappedFile> ProcessMaps::executableFiles(const QByteArray &text)
{
    QList<MappedFile> files;
    const char *at = text.constData();
    const char *const end = at + text.size();
    while (at != end) {
        const char *lineEnd = static_cast<const char *>(memchr(at, '\n', size_t(end - at)));
        if (!lineEnd)
            lineEnd = end;
        MappedFile file;
        if (parseLine(at, lineEnd, &file) && isFilePath(file.path)) {
            // The mappings of one file mostly follow each other: look back first.
            bool known = false;
            for (auto earlier = files.crbegin(); earlier != files.crend(); ++earlier) {
                if (earlier->path == file.path) {
                    known = true;
                    break;
                }
            }
            if (!known)
                files.append(std::move(file));
        }
        at = lineEnd == end ? end : lineEnd + 1;
    }
    return files;
}

int ProcessMaps::read(quint32 pid, QByteArray *text, const QByteArray &procRoot)
{
    text->clear();
    const QByteArray path = procRoot + '/' + QByteArray::number(pid) + "/maps";
    UniqueFd fd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.isValid())
        return errno;
    // A large process's maps run to hundreds of kilobytes; the kernel hands
    // them over a page or so per read.
    qsizetype size = 0;
    text->resize(64 * 1024);
    for (;;) {
        if (text->size() - size < 4096)
            text->resize(text->size() * 2);
        const ssize_t n = ::read(fd.get(), text->data() + size, size_t(text->size() - size));
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            text->clear();
            return error;
        }
        size += n;
    }
    text->truncate(size);
    return 0;
}
