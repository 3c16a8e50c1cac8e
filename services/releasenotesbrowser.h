#pragma once

#include <QTextBrowser>
#include <QUrl>

// Shows release notes that come from the update server as HTML. Nothing they
// name is loaded (images, style sheets: remote, local, from the program's
// resources or relative), and a link is never followed inside the view: web
// links open in the browser, others are ignored.
class ReleaseNotesBrowser : public QTextBrowser
{
    Q_OBJECT

public:
    explicit ReleaseNotesBrowser(QWidget *parent = nullptr);

    QVariant loadResource(int type, const QUrl &name) override;

    // An address the program may hand to the browser: http or https, with a host.
    static bool isWebAddress(const QUrl &address);

private:
    void openLink(const QUrl &link);
};
