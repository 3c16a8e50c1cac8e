#include "app/webaddress.h"
#include "services/sendfeedbackdialog.h"
#include "testenvironment.h"

#include <QtTest>

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QUrlQuery>

namespace {
// Stands in for the mail program: records what would have been opened.
class MailProgram : public QObject
{
    Q_OBJECT

public:
    MailProgram() { QDesktopServices::setUrlHandler(QStringLiteral("mailto"), this, "open"); }
    ~MailProgram() override { QDesktopServices::unsetUrlHandler(QStringLiteral("mailto")); }
    QList<QUrl> opened;

public Q_SLOTS:
    void open(const QUrl &url) { opened << url; }
};
} // namespace

class TestSendFeedbackDialog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QCoreApplication::setApplicationVersion(QStringLiteral("beta 2"));
    }

    void mailLinkIsPercentEncoded()
    {
        SendFeedbackDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Send Feedback"));
        QCOMPARE(dialog.findChild<QLabel *>("label")->text(),
                 QStringLiteral("Please send feedback to:"));
        auto *label = dialog.findChild<QLabel *>("label_address");
        QVERIFY(label->openExternalLinks());

        const QUrl feedback = WebAddress::feedback();
        QCOMPARE(feedback.scheme(), QStringLiteral("mailto"));
        const QByteArray link =
            SendFeedbackDialog::mailLink(feedback, QStringLiteral("beta 2")).toEncoded();
        QCOMPARE(link, "mailto:" + feedback.path().toUtf8() +
                           "?subject=WinOrvex%20beta%202%20Feedback"
                           "&body=Please%20enter%20any%20comments%20here.%0AWe%20appreciate%20"
                           "your%20feedback.");
        // The label links to it, "&" written as HTML wants, and shows the bare address.
        QCOMPARE(label->text(),
                 QStringLiteral("<a href=\"%1\">%2</a>")
                     .arg(QString::fromLatin1(link).toHtmlEscaped(), feedback.path()));

        // A value holding "&" or "=" stays one value.
        const QUrl tricky = SendFeedbackDialog::mailLink(feedback, QStringLiteral("1&body=x"));
        QCOMPARE(QUrlQuery(tricky).queryItemValue("subject", QUrl::FullyDecoded),
                 QStringLiteral("WinOrvex 1&body=x Feedback"));
        QCOMPARE(QUrlQuery(tricky).allQueryItemValues("body", QUrl::FullyDecoded),
                 QStringList{QStringLiteral("Please enter any comments here.\nWe appreciate "
                                            "your feedback.")});
    }

    void clickingTheAddressOpensTheMailProgram()
    {
        MailProgram mail;
        SendFeedbackDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *label = dialog.findChild<QLabel *>("label_address");
        QTest::mouseClick(label, Qt::LeftButton, Qt::NoModifier,
                          QPoint(label->fontMetrics().averageCharWidth() * 3, label->height() / 2));
        QTRY_COMPARE_WITH_TIMEOUT(mail.opened.size(), 1, 5000);
        QCOMPARE(mail.opened.first(),
                 SendFeedbackDialog::mailLink(WebAddress::feedback(), QStringLiteral("beta 2")));
    }

    void closeButtonRejects()
    {
        SendFeedbackDialog dialog;
        dialog.show();
        auto *box = dialog.findChild<QDialogButtonBox *>("buttonBox");
        QTest::mouseClick(box->button(QDialogButtonBox::Close), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
};

QTEST_MAIN(TestSendFeedbackDialog)
#include "tst_sendfeedbackdialog.moc"
