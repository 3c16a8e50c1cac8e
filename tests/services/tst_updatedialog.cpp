#include "app/webaddress.h"
#include "services/releasenotesbrowser.h"
#include "services/updatedialog.h"
#include "testenvironment.h"

#include <QtTest>

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>

namespace {
const QString Placeholder =
    QStringLiteral("WinOrvex X is now available - you have Y.  Would you like to download it?");

// Stands in for the browser: records what would have been opened.
class Browser : public QObject
{
    Q_OBJECT

public:
    Browser()
    {
        for (const char *scheme : {"http", "https"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~Browser() override
    {
        for (const char *scheme : {"http", "https"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    QList<QUrl> opened;

public Q_SLOTS:
    void open(const QUrl &url) { opened << url; }
};

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
}

// Clicks the first occurrence of text in a browser, as a user would.
void clickText(QTextBrowser *browser, const QString &text)
{
    const QTextCursor found = browser->document()->find(text);
    QVERIFY2(!found.isNull(), qPrintable(text));
    QTextCursor inside(browser->document());
    inside.setPosition(found.selectionStart() + 1);
    const QPoint point = browser->cursorRect(inside).center();
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, Qt::NoModifier, point);
}
} // namespace

class TestUpdateDialog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
        QCoreApplication::setApplicationVersion(QStringLiteral("beta 2"));
    }

    void formAndDefaults()
    {
        UpdateDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Update Available"));
        QCOMPARE(dialog.findChild<QLabel *>("label_announce")->text(),
                 QStringLiteral("A new version of WinOrvex is available!"));
        QCOMPARE(dialog.findChild<QLabel *>("label_version")->text(), Placeholder);
        QCOMPARE(dialog.findChild<QLabel *>("label_notes")->text(),
                 QStringLiteral("Release Notes:"));
        QVERIFY(!dialog.findChild<QLabel *>("label_icon")->pixmap().isNull());
        QCOMPARE(dialog.downloadAddress(), WebAddress::download());
    }

    void loadPayload_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QUrl>("address");
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QString>("warning");
        const auto offered = [](const char *version) {
            return QStringLiteral("WinOrvex %1 is now available - you have beta 2.  Would you "
                                  "like to download it?")
                .arg(QString::fromUtf8(version));
        };
        const QUrl fallback = WebAddress::download();
        const QString refused = QStringLiteral("^UpdateDialog::loadPayload\\(\\) ignoring the "
                                               "download address");
        QTest::newRow("offer") << QByteArray("2.0\nhttps://example.org/get\n<p>Faster "
                                             "<b>scans</b>.</p>")
                               << offered("2.0") << QUrl("https://example.org/get")
                               << "Faster scans." << QString();
        QTest::newRow("notes over several lines")
            << QByteArray("2.1\nhttp://example.org/get\n<b>One</b>\n<i>Two</i>") << offered("2.1")
            << QUrl("http://example.org/get") << "One Two" << QString();
        QTest::newRow("fewer than three lines")
            << QByteArray("2.0\nhttps://example.org/get") << Placeholder << fallback << QString()
            << QStringLiteral("^UpdateDialog::loadPayload\\(\\) payload had less than 3 lines in "
                              "it!$");
        QTest::newRow("javascript: address")
            << QByteArray("2.0\njavascript:alert(document.cookie)\n<p>x</p>") << offered("2.0")
            << fallback << "x" << refused;
        QTest::newRow("file: address") << QByteArray("2.0\nfile:///etc/passwd\n<p>x</p>")
                                       << offered("2.0") << fallback << "x" << refused;
        QTest::newRow("relative address") << QByteArray("2.0\n/download\n<p>x</p>")
                                          << offered("2.0") << fallback << "x" << refused;
        QTest::newRow("version is text, not markup")
            << QByteArray("<img src=\"file:///etc/x.png\">2.0\nhttps://example.org/get\n<p>x</p>")
            << offered("<img src=\"file:///etc/x.png\">2.0") << QUrl("https://example.org/get")
            << "x" << QString();
        QTest::newRow("UTF-8 notes")
            << QByteArray(
                   "2.0\nhttps://example.org/get\n<p>Schneller \xe2\x80\x93 gr\xc3\xb6\xc3\x9f"
                   "er</p>")
            << offered("2.0") << QUrl("https://example.org/get")
            << QString::fromUtf8("Schneller \xe2\x80\x93 gr\xc3\xb6\xc3\x9f"
                                 "er")
            << QString();
        QTest::newRow("Latin-1 notes")
            << QByteArray("2.0\nhttps://example.org/get\n<p>\xe9t\xe9</p>") << offered("2.0")
            << QUrl("https://example.org/get") << QString::fromUtf8("\xc3\xa9t\xc3\xa9")
            << QString();
    }
    void loadPayload()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, version);
        QFETCH(QUrl, address);
        QFETCH(QString, notes);
        QFETCH(QString, warning);
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        UpdateDialog dialog;
        dialog.loadPayload(payload);
        auto *label = dialog.findChild<QLabel *>("label_version");
        QCOMPARE(label->text(), version);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(dialog.downloadAddress(), address);
        QCOMPARE(dialog.findChild<QTextBrowser *>("textBrowser")->toPlainText(), notes);
    }

    // Release notes come from the network: nothing they name is loaded, and no
    // image of the machine is drawn. A plain text browser, beside, shows what
    // would have been loaded.
    void notesLoadNothing_data()
    {
        QTest::addColumn<QString>("html");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("loadedByAPlainBrowser");
        const int image = QTextDocument::ImageResource;
        QTest::newRow("file: image") << "<img src=\"file://DIR/red.png\">" << image
                                     << "file://DIR/red.png" << true;
        QTest::newRow("absolute path image")
            << "<img src=\"DIR/red.png\">" << image << "DIR/red.png" << true;
        QTest::newRow("relative image") << "<img src=\"red.png\">" << image << "red.png" << true;
        QTest::newRow("qrc: image") << "<img src=\"qrc:/ok_64x64.png\">" << image
                                    << "qrc:/ok_64x64.png" << true;
        QTest::newRow("resource image") << "<img src=\":/ok_64x64.png\">" << image
                                        << ":/ok_64x64.png" << true;
        QTest::newRow("remote image") << "<img src=\"http://127.0.0.1:9/red.png\">" << image
                                      << "http://127.0.0.1:9/red.png" << false;
        QTest::newRow("style sheet")
            << "<html><head><link rel=\"stylesheet\" href=\"file://DIR/notes.css\"></head>"
               "<body>x</body></html>"
            << int(QTextDocument::StyleSheetResource) << "file://DIR/notes.css" << true;
    }
    void notesLoadNothing()
    {
        QFETCH(QString, html);
        QFETCH(int, type);
        QFETCH(QString, url);
        QFETCH(bool, loadedByAPlainBrowser);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        QImage red(48, 48, QImage::Format_RGB32);
        red.fill(Qt::red);
        QVERIFY(red.save(folder.filePath(QStringLiteral("red.png"))));
        writeFile(folder.filePath(QStringLiteral("notes.css")), "body { color: red; }");
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(folder.path()));
        const auto back = qScopeGuard([previous] { QDir::setCurrent(previous); });
        html.replace(QStringLiteral("DIR"), folder.path());
        const QUrl name(url.replace(QStringLiteral("DIR"), folder.path()));

        UpdateDialog dialog;
        dialog.loadPayload("2.0\nhttps://example.org/get\n" + html.toUtf8());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *notes = dialog.findChild<QTextBrowser *>("textBrowser");
        QVERIFY(qobject_cast<ReleaseNotesBrowser *>(notes));
        // Drawn: neither the red picture nor red text.
        const QImage shown = notes->viewport()->grab().toImage();
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                QVERIFY2(shown.pixelColor(x, y) != QColor(Qt::red),
                         qPrintable(QStringLiteral("red at %1,%2").arg(x).arg(y)));
        // Asked for, the document has nothing of it.
        const QVariant loaded = notes->document()->resource(type, name);
        if (type == QTextDocument::ImageResource)
            QCOMPARE(loaded.value<QImage>().size(), QSize(1, 1));
        else
            QVERIFY(loaded.isNull());

        QTextBrowser plain;
        plain.setHtml(html);
        QCOMPARE(!plain.document()->resource(type, name).isNull(), loadedByAPlainBrowser);
    }

    void linksAreNotFollowedInTheDialog()
    {
        Browser browser;
        UpdateDialog dialog;
        dialog.loadPayload("2.0\nhttps://example.org/get\n<p><a href=\"https://example.org/"
                           "notes\">web</a> and <a href=\"file:///etc/passwd\">file</a> and <a "
                           "href=\"other.html\">relative</a></p>");
        dialog.resize(480, 360);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *notes = dialog.findChild<QTextBrowser *>("textBrowser");
        const QString text = notes->toPlainText();

        clickText(notes, QStringLiteral("web"));
        QCOMPARE(browser.opened, QList<QUrl>{QUrl("https://example.org/notes")});
        for (const char *link : {"file", "relative"}) {
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("^ReleaseNotesBrowser::openLink\\(\\) "
                                                    "ignoring the link"));
            clickText(notes, QString::fromLatin1(link));
        }
        QCOMPARE(browser.opened.size(), 1);
        QCOMPARE(notes->toPlainText(), text);
        QVERIFY(notes->source().isEmpty());
        QVERIFY(dialog.isVisible());
    }

    void downloadOpensTheAddress_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QUrl>("opened");
        QTest::newRow("offered") << QByteArray("2.0\nhttps://example.org/get\n<p>x</p>")
                                 << QUrl("https://example.org/get");
        QTest::newRow("refused keeps the download page")
            << QByteArray("2.0\njavascript:alert(1)\n<p>x</p>") << WebAddress::download();
        QTest::newRow("no offer") << QByteArray() << WebAddress::download();
    }
    void downloadOpensTheAddress()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QUrl, opened);
        Browser browser;
        UpdateDialog dialog;
        if (payload.contains("javascript:"))
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ignoring the download address"));
        if (!payload.isEmpty())
            dialog.loadPayload(payload);
        dialog.show();
        QTest::ignoreMessage(QtDebugMsg, "UpdateDialog::userDownload() called");
        dialog.findChild<QPushButton *>("pushButton_download")->click();
        QCOMPARE(browser.opened, QList<QUrl>{opened});
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(dialog.isHidden());
    }

    void cancelCloses()
    {
        Browser browser;
        UpdateDialog dialog;
        dialog.show();
        dialog.findChild<QPushButton *>("pushButton_cancel")->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(dialog.isHidden());
        QVERIFY(browser.opened.isEmpty());
    }
};

QTEST_MAIN(TestUpdateDialog)
#include "tst_updatedialog.moc"
