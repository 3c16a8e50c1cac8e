#pragma once

#include <QByteArray>
#include <QDomDocument>
#include <QDomElement>
#include <QString>

// Preferences.xml on disk: an XML document whose document type and root are
// both "WinOrvex", written whole and atomically, readable by its owner only
// (it holds the installation identifier).
namespace PreferencesFile {

// A document holding only its empty root.
QDomDocument emptyDocument();

enum class WriteResult { Written, OpenFailed, WriteFailed };
// Writes the document with an indentation of 4. The old file stays whole until
// the new one is complete; on failure the reason is in error.
WriteResult write(const QString &path, const QDomDocument &document, QString *error);

// Moves a file that could not be read as preferences to "<path>.bad" (replacing
// an older one there), so that the next save does not overwrite it unseen. The
// new path, or empty with the reason when the move failed.
QString setAside(const QString &path, QString *error);

// Byte arrays are kept as Base64 text in a CDATA section, marked by the
// attribute encoding="Base64".
void setByteArray(QDomElement &element, const QByteArray &bytes);
// Null when the element's first child is no CDATA section.
QByteArray byteArray(const QDomElement &element);

} // namespace PreferencesFile
