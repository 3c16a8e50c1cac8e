#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QUrl;

// A Linux file name is bytes, not text: any byte but "/" and NUL, UTF-8 or not.
// Scanned paths travel through the program as text (signals, packed records,
// the SQLite table), so they are held in a lossless form: valid UTF-8 is
// decoded as usual, and every byte that is not part of a valid UTF-8 sequence
// becomes one code point of a private-use range, U+EF80 to U+EFFF (byte b is
// U+EF00 + b). A name that really holds a code point of that range has it
// escaped the same way, byte by byte, so that no two names share a form.
//
// Every scanned path that goes back to the system goes through toBytes();
// every path that comes from the system goes through fromBytes().
class FileName
{
public:
    // The lossless form of a name or path in the file system's bytes.
    static QString fromBytes(const QByteArray &bytes);
    static QString fromBytes(const char *bytes, qsizetype size);
    // The bytes that a lossless form stands for.
    static QByteArray toBytes(const QString &name);

    // True when the name needs none of the escapes: its lossless form is its
    // ordinary text, and Qt's own file classes reach the file by it.
    static bool isPlain(const QString &name);

    // The name for people and for line-based output: printable text as it is,
    // the bytes of everything else as \xNN (lower-case hexadecimal): bytes that
    // are not UTF-8, control characters, and the characters that reorder or
    // break the text around them. A backslash is shown as \\, tab, line feed
    // and carriage return as \t, \n and \r. Nothing is lost: fromReadable()
    // gives the lossless form back.
    static QString readable(const QString &name);
    // The lossless form of a readable one. Text that is not a known escape
    // (a lone backslash, "\q", "\x4") is taken as it stands.
    static QString fromReadable(const QString &text);

    // Text that Qt has decoded (a file dialog's answer, a typed path): its
    // UTF-8 bytes in the lossless form. Only a name that holds code points of
    // the escape range reads differently.
    static QString fromUnicode(const QString &text);
    // The path of a file: URL, from the URL's own bytes. QUrl::toLocalFile()
    // decodes the percent-encoded bytes as UTF-8 and loses those that are not.
    // Empty for a URL that is not a local file.
    static QString fromLocalFileUrl(const QUrl &url);
    // A file: URL for a lossless path, every byte that needs it percent-encoded.
    static QString toLocalFileUrl(const QString &path);

    // A program's own arguments in the lossless form (argv as main() got it;
    // QCoreApplication::arguments() has decoded them lossily).
    static QStringList fromArguments(int argc, const char *const *argv);

    // An absolute, clean lossless path: relative paths are taken from the
    // current folder, read as bytes (a folder name that is not UTF-8 stays
    // intact); "." and ".." parts and doubled slashes go as QDir::cleanPath()
    // does. Empty stays empty.
    static QString absolute(const QString &path);

    // The first and last code point of the escape range.
    static constexpr char16_t FirstEscape = 0xEF80;
    static constexpr char16_t LastEscape = 0xEFFF;
};
