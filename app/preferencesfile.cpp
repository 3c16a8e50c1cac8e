#include "app/preferencesfile.h"

#include <QDomCDATASection>
#include <QFile>
#include <QSaveFile>

QDomDocument PreferencesFile::emptyDocument()
{
    QDomImplementation implementation;
    QDomDocument document(
        implementation.createDocumentType(QStringLiteral("WinOrvex"), QString(), QString()));
    document.appendChild(document.createElement(QStringLiteral("WinOrvex")));
    return document;
}

PreferencesFile::WriteResult PreferencesFile::write(const QString &path,
                                                    const QDomDocument &document, QString *error)
{
    const QByteArray text = document.toByteArray(4);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        *error = file.errorString();
        return WriteResult::OpenFailed;
    }
    // Before the first byte: the installation identifier is nobody else's business.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = file.errorString();
        file.cancelWriting();
        return WriteResult::WriteFailed;
    }
    // Flushed before the commit: Qt 6.4's commit() loses an error of its own last
    // flush and puts a cut-short file in place.
    if (file.write(text) != text.size() || !file.flush() || !file.commit()) {
        *error = file.errorString();
        return WriteResult::WriteFailed;
    }
    return WriteResult::Written;
}

QString PreferencesFile::setAside(const QString &path, QString *error)
{
    const QString aside = path + QLatin1String(".bad");
    QFile older(aside);
    if (older.exists() && !older.remove()) {
        *error = older.errorString();
        return QString();
    }
    QFile file(path);
    if (!file.rename(aside)) {
        *error = file.errorString();
        return QString();
    }
    return aside;
}

void PreferencesFile::setByteArray(QDomElement &element, const QByteArray &bytes)
{
    element.setAttribute(QStringLiteral("encoding"), QStringLiteral("Base64"));
    element.appendChild(
        element.ownerDocument().createCDATASection(QString::fromLatin1(bytes.toBase64())));
}

QByteArray PreferencesFile::byteArray(const QDomElement &element)
{
    const QDomCDATASection section = element.firstChild().toCDATASection();
    if (section.isNull())
        return QByteArray();
    return QByteArray::fromBase64(section.data().toLatin1());
}
