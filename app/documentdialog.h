#pragma once

#include <QDialog>
#include <QString>

class QTextBrowser;

// A document shipped with the program (the help page, the licence), shown from
// its resources: nothing has to be downloaded to read it. HTML documents follow
// their own anchors; links out of the document open in the user's browser.
class DocumentDialog : public QDialog
{
    Q_OBJECT

public:
    DocumentDialog(const QString &title, const QString &resource, QWidget *parent = nullptr);

    QTextBrowser *browser() const { return m_browser; }

private:
    QTextBrowser *m_browser;
};
