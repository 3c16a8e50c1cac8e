#include "app/aboutdialog.h"
#include "app/webaddress.h"
#include "testenvironment.h"

#include <QLabel>
#include <QtTest>

class TestAboutDialog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
        QCoreApplication::setApplicationVersion(QStringLiteral("beta 2"));
    }

    // The credits and the licence are the program's own: no icon set that
    // WinOrvex does not ship is credited, and the licence is the one in LICENSE.
    void showsTheProgramsOwnCreditsAndLicence()
    {
        AboutDialog about;
        const auto text = [&about](const char *name) {
            auto *label = about.findChild<QLabel *>(QLatin1String(name));
            return label ? label->text() : QStringLiteral("<no %1>").arg(QLatin1String(name));
        };
        QCOMPARE(text("label_name"), QStringLiteral("WinOrvex"));
        QCOMPARE(text("label_version"), QStringLiteral("Version beta 2"));
        QVERIFY(text("label_notice")
                    .contains(QLatin1String(
                        "GNU General Public License, version 3 or (at your option) any later "
                        "version")));
        QVERIFY(text("label_credits").contains(QLatin1String("WinOrvex's own")));
        QFile licence(QStringLiteral(":/doc/LICENSE"));
        QVERIFY(licence.open(QIODevice::ReadOnly));
        QVERIFY(licence.readLine().contains("GNU GENERAL PUBLIC LICENSE"));
        QVERIFY(licence.readLine().contains("Version 3"));

        for (const QLabel *label : about.findChildren<QLabel *>()) {
            for (const char *foreign : {"Crystal", "Nuvola"})
                QVERIFY2(!label->text().contains(QLatin1String(foreign)),
                         qPrintable(label->text()));
            if (label->text().contains(QLatin1String("href")))
                QVERIFY2(label->openExternalLinks(), qPrintable(label->objectName()));
        }
        const QString feedback = WebAddress::feedback().toString();
        QVERIFY2(text("label_feedback").contains(QStringLiteral("href=\"%1\"").arg(feedback)),
                 qPrintable(text("label_feedback")));
        QVERIFY(!about.findChild<QLabel *>(QStringLiteral("label_logo"))->pixmap().isNull());
    }

    void isAToolWindowDeletedOnClose()
    {
        QPointer<AboutDialog> about = new AboutDialog;
        QVERIFY(about->windowFlags().testFlag(Qt::Tool));
        about->show();
        about->close();
        QTRY_VERIFY_WITH_TIMEOUT(about.isNull(), 5000);
    }
};

QTEST_MAIN(TestAboutDialog)
#include "tst_aboutdialog.moc"
