#include "app/documentdialog.h"

#include <QDebug>
#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QScreen>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace {
constexpr int DesignedWidth = 720;
constexpr int DesignedHeight = 640;
} // namespace

DocumentDialog::DocumentDialog(const QString &title, const QString &resource, QWidget *parent)
    : QDialog(parent), m_browser(new QTextBrowser(this))
{
    setWindowTitle(title);
    setAttribute(Qt::WA_DeleteOnClose);
    m_browser->setOpenExternalLinks(true);

    if (resource.endsWith(QLatin1String(".html"))) {
        // As a source, so that the page's anchors and relative links resolve.
        m_browser->setSource(QUrl(QStringLiteral("qrc") + resource), QTextDocument::HtmlResource);
    } else {
        // Plain text laid out with blanks, like a licence: shown as it is.
        QFile file(resource);
        if (!file.open(QIODevice::ReadOnly))
            qWarning().noquote()
                << QStringLiteral("DocumentDialog() cannot read '%1'").arg(resource);
        m_browser->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        m_browser->setLineWrapMode(QTextEdit::NoWrap);
        m_browser->setPlainText(QString::fromUtf8(file.readAll()));
    }

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_browser);
    layout->addWidget(buttons);

    QSize size(DesignedWidth, DesignedHeight);
    if (const QScreen *screen = parent ? parent->screen() : this->screen())
        size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
    resize(size);
}
