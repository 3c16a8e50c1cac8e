#include "services/releasenotesbrowser.h"

#include <QDebug>
#include <QDesktopServices>
#include <QImage>
#include <QTextDocument>

namespace {
// A document loads what its browser does not, files and the program's resources
// among them, and an image that none of them gives is read from its name when
// it is drawn. Here every image is an empty pixel and nothing else is loaded.
class NotesDocument : public QTextDocument
{
public:
    using QTextDocument::QTextDocument;

protected:
    QVariant loadResource(int type, const QUrl &) override
    {
        if (type != QTextDocument::ImageResource)
            return QVariant();
        QImage blank(1, 1, QImage::Format_ARGB32_Premultiplied);
        blank.fill(Qt::transparent);
        return blank;
    }
};
} // namespace

ReleaseNotesBrowser::ReleaseNotesBrowser(QWidget *parent) : QTextBrowser(parent)
{
    setDocument(new NotesDocument(this));
    setOpenLinks(false);
    setOpenExternalLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, &ReleaseNotesBrowser::openLink);
}

QVariant ReleaseNotesBrowser::loadResource(int, const QUrl &)
{
    return QVariant();
}

bool ReleaseNotesBrowser::isWebAddress(const QUrl &address)
{
    const QString scheme = address.scheme().toLower();
    return address.isValid() && !address.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

void ReleaseNotesBrowser::openLink(const QUrl &link)
{
    if (!isWebAddress(link)) {
        qWarning().noquote() << QStringLiteral(
                                    "ReleaseNotesBrowser::openLink() ignoring the link '%1'")
                                    .arg(link.toString());
        return;
    }
    if (!QDesktopServices::openUrl(link))
        qWarning().noquote() << QStringLiteral(
                                    "ReleaseNotesBrowser::openLink() failed to open URL %1")
                                    .arg(link.toString());
}
