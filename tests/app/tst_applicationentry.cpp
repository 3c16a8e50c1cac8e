#include "app/applicationentry.h"
#include "app/webaddress.h"
#include "testenvironment.h"

#include <QtTest>

class TestApplicationEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void startsMinimized_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("minimized");
        QTest::newRow("no arguments") << QStringList{"winorvex"} << false;
        QTest::newRow("first") << QStringList{"winorvex", "/minimize"} << true;
        QTest::newRow("anywhere") << QStringList{"winorvex", "-x", "/minimize", "y"} << true;
        QTest::newRow("capitals are not recognised")
            << QStringList{"winorvex", "/MINIMIZE"} << false;
        QTest::newRow("prefix is not enough") << QStringList{"winorvex", "/minimized"} << false;
        QTest::newRow("dash form is not recognised")
            << QStringList{"winorvex", "--minimize"} << false;
    }
    void startsMinimized()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, minimized);
        QCOMPARE(ApplicationEntry::startsMinimized(arguments), minimized);
    }

    void pathsToScan()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString file = folder.filePath(QStringLiteral("a b|c.exe"));
        QFile(file).open(QIODevice::WriteOnly);
        const QString missing = folder.filePath(QStringLiteral("missing"));
        const QString missingUrl =
            QUrl::fromLocalFile(folder.filePath(QStringLiteral("gone too"))).toString();
        for (const QString &ignored : {missing, missingUrl})
            QTest::ignoreMessage(
                QtWarningMsg,
                qPrintable(
                    QStringLiteral("ApplicationEntry::pathsToScan() ignoring '%1'").arg(ignored)));
        const ApplicationEntry::CommandLinePaths paths = ApplicationEntry::pathsToScan(
            {"winorvex", "/minimize", file, QUrl::fromLocalFile(folder.path()).toString(), missing,
             missingUrl});
        QCOMPARE(paths.items.size(), 2);
        QCOMPARE(paths.items.at(0).absoluteFilePath(), file);
        QCOMPARE(paths.items.at(1).absoluteFilePath(), QFileInfo(folder.path()).absoluteFilePath());
        // Missing paths are kept, as files rather than URLs, to be named to the user.
        QCOMPARE(paths.missing,
                 (QStringList{missing, folder.filePath(QStringLiteral("gone too"))}));

        const ApplicationEntry::CommandLinePaths none = ApplicationEntry::pathsToScan({"winorvex"});
        QVERIFY(none.items.isEmpty());
        QVERIFY(none.missing.isEmpty());
    }

    void webAddressesAreUsable_data()
    {
        QTest::addColumn<QUrl>("address");
        QTest::addColumn<QStringList>("schemes");
        const QStringList web{"https", "http"};
        QTest::newRow("download") << WebAddress::download() << web;
        QTest::newRow("feedback") << WebAddress::feedback()
                                  << QStringList{"mailto", "https", "http"};
        QTest::newRow("removal information") << WebAddress::removalInformation() << web;
    }
    void webAddressesAreUsable()
    {
        // A cache variable set to something a browser cannot open fails here,
        // not in front of a user.
        QFETCH(QUrl, address);
        QFETCH(QStringList, schemes);
        QVERIFY2(address.isValid(), qPrintable(address.errorString()));
        QVERIFY2(schemes.contains(address.scheme()), qPrintable(address.toString()));
        QVERIFY(!address.path().isEmpty() || !address.host().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestApplicationEntry)
#include "tst_applicationentry.moc"
