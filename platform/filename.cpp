#include "platform/filename.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <cerrno>
#include <unistd.h>

namespace {
constexpr char16_t EscapeBase = 0xEF00;

bool isContinuation(uchar byte)
{
    return byte >= 0x80 && byte <= 0xBF;
}

// The length of the well-formed UTF-8 sequence at bytes (Unicode's table of
// well-formed byte sequences: no overlong forms, no surrogates, nothing past
// U+10FFFF), or 0 when the lead byte does not start one.
int sequenceLength(const uchar *bytes, qsizetype available)
{
    const uchar lead = bytes[0];
    int length = 0;
    uchar secondLow = 0x80;
    uchar secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            secondLow = 0xA0;
        else if (lead == 0xED)
            secondHigh = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            secondLow = 0x90;
        else if (lead == 0xF4)
            secondHigh = 0x8F;
    } else {
        return 0;
    }
    if (available < length || bytes[1] < secondLow || bytes[1] > secondHigh)
        return 0;
    for (int i = 2; i < length; ++i) {
        if (!isContinuation(bytes[i]))
            return 0;
    }
    return length;
}

char32_t decodeSequence(const uchar *bytes, int length)
{
    char32_t code = bytes[0] & (0xFF >> (length + 1));
    for (int i = 1; i < length; ++i)
        code = (code << 6) | (bytes[i] & 0x3F);
    return code;
}

bool isEscape(char16_t code)
{
    return code >= FileName::FirstEscape && code <= FileName::LastEscape;
}

void appendEscapedBytes(QString &text, const uchar *bytes, int length)
{
    for (int i = 0; i < length; ++i)
        text.append(QChar(char16_t(EscapeBase + bytes[i])));
}

void appendUtf8(QByteArray &bytes, char32_t code)
{
    if (code < 0x80) {
        bytes.append(char(code));
    } else if (code < 0x800) {
        bytes.append(char(0xC0 | (code >> 6)));
        bytes.append(char(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        bytes.append(char(0xE0 | (code >> 12)));
        bytes.append(char(0x80 | ((code >> 6) & 0x3F)));
        bytes.append(char(0x80 | (code & 0x3F)));
    } else {
        bytes.append(char(0xF0 | (code >> 18)));
        bytes.append(char(0x80 | ((code >> 12) & 0x3F)));
        bytes.append(char(0x80 | ((code >> 6) & 0x3F)));
        bytes.append(char(0x80 | (code & 0x3F)));
    }
}

// Appends the bytes one code point of a lossless form stands for; returns how
// many UTF-16 units it took.
int appendBytesOf(QByteArray &bytes, const QChar *text, qsizetype available)
{
    const char16_t unit = text[0].unicode();
    if (unit < 0x80) {
        bytes.append(char(unit));
        return 1;
    }
    if (isEscape(unit)) {
        bytes.append(char(unit - EscapeBase));
        return 1;
    }
    if (QChar::isHighSurrogate(unit) && available > 1 && text[1].isLowSurrogate()) {
        appendUtf8(bytes, QChar::surrogateToUcs4(unit, text[1].unicode()));
        return 2;
    }
    // A lone surrogate has no bytes of its own; no lossless form holds one.
    appendUtf8(bytes, QChar::isSurrogate(unit) ? char32_t(QChar::ReplacementCharacter) : unit);
    return 1;
}

// Characters shown by their bytes: besides control characters, those that
// reorder or break the text around them, so that a name cannot pose as another
// ("invoice\u202Efdp.exe" reads "invoiceexe.pdf").
bool isShownAsBytes(char32_t code)
{
    if (code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0))
        return true;
    switch (code) {
    case 0x061C: // Arabic letter mark
    case 0x200E: // left-to-right mark
    case 0x200F: // right-to-left mark
    case 0x2028: // line separator
    case 0x2029: // paragraph separator
        return true;
    default:
        break;
    }
    return (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

int hexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}
} // namespace

QString FileName::fromBytes(const QByteArray &bytes)
{
    return fromBytes(bytes.constData(), bytes.size());
}

QString FileName::fromBytes(const char *data, qsizetype size)
{
    const auto *bytes = reinterpret_cast<const uchar *>(data);
    qsizetype i = 0;
    while (i < size && bytes[i] < 0x80)
        ++i;
    if (i == size)
        return QString::fromLatin1(data, size);

    QString text;
    text.reserve(size);
    text.append(QLatin1String(data, i));
    while (i < size) {
        const uchar lead = bytes[i];
        if (lead < 0x80) {
            text.append(QChar(char16_t(lead)));
            ++i;
            continue;
        }
        const int length = sequenceLength(bytes + i, size - i);
        if (length == 0) {
            appendEscapedBytes(text, bytes + i, 1);
            ++i;
            continue;
        }
        const char32_t code = decodeSequence(bytes + i, length);
        if (code <= 0xFFFF && isEscape(char16_t(code))) {
            // A real code point of the escape range: escaped too, so that it
            // cannot be taken for the byte it would stand for.
            appendEscapedBytes(text, bytes + i, length);
        } else if (code > 0xFFFF) {
            text.append(QChar(QChar::highSurrogate(code)));
            text.append(QChar(QChar::lowSurrogate(code)));
        } else {
            text.append(QChar(char16_t(code)));
        }
        i += length;
    }
    return text;
}

QByteArray FileName::toBytes(const QString &name)
{
    const QChar *text = name.constData();
    const qsizetype size = name.size();
    qsizetype i = 0;
    while (i < size && text[i].unicode() < 0x80)
        ++i;
    if (i == size)
        return name.toLatin1();

    QByteArray bytes;
    bytes.reserve(size + size / 2);
    bytes.append(QStringView(text, i).toLatin1());
    while (i < size)
        i += appendBytesOf(bytes, text + i, size - i);
    return bytes;
}

bool FileName::isPlain(const QString &name)
{
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t unit = name.at(i).unicode();
        if (unit < 0x80)
            continue;
        if (isEscape(unit))
            return false;
        if (QChar::isHighSurrogate(unit) && i + 1 < name.size() && name.at(i + 1).isLowSurrogate())
            ++i;
        else if (QChar::isSurrogate(unit))
            return false;
    }
    return true;
}

QString FileName::readable(const QString &name)
{
    const auto needsEscape = [](char16_t unit) {
        return unit == u'\\' || isEscape(unit) || QChar::isSurrogate(unit) || isShownAsBytes(unit);
    };
    qsizetype first = 0;
    while (first < name.size() && !needsEscape(name.at(first).unicode()))
        ++first;
    if (first == name.size())
        return name; // printable text, the usual case, as it is

    QString shown;
    shown.reserve(name.size() + 16);
    shown.append(QStringView(name).left(first));
    QByteArray bytes;
    for (qsizetype i = first; i < name.size();) {
        const char16_t unit = name.at(i).unicode();
        const bool pair =
            QChar::isHighSurrogate(unit) && i + 1 < name.size() && name.at(i + 1).isLowSurrogate();
        if (pair) { // nothing beyond the first plane is hidden
            shown.append(QStringView(name).mid(i, 2));
            i += 2;
            continue;
        }
        if (!needsEscape(unit)) {
            shown.append(QChar(unit));
            ++i;
            continue;
        }
        switch (unit) {
        case u'\\':
            shown.append(QLatin1String("\\\\"));
            ++i;
            continue;
        case u'\t':
            shown.append(QLatin1String("\\t"));
            ++i;
            continue;
        case u'\n':
            shown.append(QLatin1String("\\n"));
            ++i;
            continue;
        case u'\r':
            shown.append(QLatin1String("\\r"));
            ++i;
            continue;
        default:
            break;
        }
        bytes.clear();
        i += appendBytesOf(bytes, name.constData() + i, name.size() - i);
        for (const char byte : std::as_const(bytes))
            shown.append(QStringLiteral("\\x%1").arg(uint(uchar(byte)), 2, 16, QLatin1Char('0')));
    }
    return shown;
}

QString FileName::fromReadable(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        if (text.at(i) == u'\\' && i + 1 < text.size()) {
            const char16_t next = text.at(i + 1).unicode();
            if (next == u'\\' || next == u'n' || next == u't' || next == u'r') {
                bytes.append(next == u'\\'  ? '\\'
                             : next == u'n' ? '\n'
                             : next == u't' ? '\t'
                                            : '\r');
                i += 2;
                continue;
            }
            if (next == u'x' && i + 3 < text.size()) {
                const int high = hexValue(text.at(i + 2).unicode());
                const int low = hexValue(text.at(i + 3).unicode());
                if (high >= 0 && low >= 0) {
                    bytes.append(char(high * 16 + low));
                    i += 4;
                    continue;
                }
            }
        }
        i += appendBytesOf(bytes, text.constData() + i, text.size() - i);
    }
    return fromBytes(bytes);
}

QString FileName::fromUnicode(const QString &text)
{
    return fromBytes(text.toUtf8());
}

QString FileName::fromLocalFileUrl(const QUrl &url)
{
    if (!url.isLocalFile())
        return QString();
    // The percent-encoded form still holds every byte of the name.
    QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    const QString host = url.host();
    if (!host.isEmpty() && host != QLatin1String("localhost"))
        bytes.prepend("//" + host.toUtf8());
    return fromBytes(bytes);
}

QString FileName::toLocalFileUrl(const QString &path)
{
    return QStringLiteral("file://") +
           QString::fromLatin1(toBytes(absolute(path)).toPercentEncoding("/"));
}

QStringList FileName::fromArguments(int argc, const char *const *argv)
{
    QStringList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i)
        arguments.append(fromBytes(QByteArray(argv[i])));
    return arguments;
}

QString FileName::absolute(const QString &path)
{
    if (path.isEmpty())
        return path;
    if (path.startsWith(u'/'))
        return QDir::cleanPath(path);
    QByteArray folder(256, Qt::Uninitialized);
    while (::getcwd(folder.data(), size_t(folder.size())) == nullptr) {
        if (errno != ERANGE || folder.size() > (1 << 20))
            return QFileInfo(path).absoluteFilePath();
        folder.resize(folder.size() * 2);
    }
    folder.truncate(qsizetype(qstrlen(folder.constData())));
    return QDir::cleanPath(fromBytes(folder) + u'/' + path);
}
