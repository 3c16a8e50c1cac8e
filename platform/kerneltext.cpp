#include "platform/kerneltext.h"

#include "platform/systemerror.h"
#include "platform/uniquefd.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
bool isOctalDigit(char c)
{
    return c >= '0' && c <= '7';
}
} // namespace

QByteArray unescapeKernelOctal(const QByteArray &text)
{
    if (!text.contains('\\'))
        return text;
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '\\' && i + 3 < text.size() && isOctalDigit(text.at(i + 1)) &&
            isOctalDigit(text.at(i + 2)) && isOctalDigit(text.at(i + 3))) {
            const int value =
                (text.at(i + 1) - '0') * 64 + (text.at(i + 2) - '0') * 8 + (text.at(i + 3) - '0');
            if (value <= 0xff) {
                out.append(char(value));
                i += 3;
                continue;
            }
        }
        out.append(c);
    }
    return out;
}

bool readKernelTextFile(const QString &path, QByteArray *text, const QString &context)
{
    text->clear();
    UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    if (!fd.isValid()) {
        logSystemError(context);
        return false;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            logSystemError(context);
            text->clear();
            return false;
        }
        text->append(buffer, n);
    }
}
