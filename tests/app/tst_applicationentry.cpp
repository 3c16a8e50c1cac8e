#include "app/applicationentry.h"
#include "platform/elevation.h"
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
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable(
                QStringLiteral("ApplicationEntry::pathsToScan() ignoring '%1'").arg(missing)));
        const QList<QFileInfo> items =
            ApplicationEntry::pathsToScan({"winorvex", "/minimize", file,
                                           QUrl::fromLocalFile(folder.path()).toString(), missing});
        QCOMPARE(items.size(), 2);
        QCOMPARE(items.at(0).absoluteFilePath(), file);
        QCOMPARE(items.at(1).absoluteFilePath(), QFileInfo(folder.path()).absoluteFilePath());
        QVERIFY(ApplicationEntry::pathsToScan({"winorvex"}).isEmpty());
    }

    void elevationCarriesTheDisplay()
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":0"));
        environment.insert(QStringLiteral("XAUTHORITY"), QStringLiteral("/run/user/1000/xauth"));
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin"));
        QCOMPARE(elevationArguments(QStringLiteral("/opt/w x/winorvex"), environment),
                 (QStringList{"env", "DISPLAY=:0", "XAUTHORITY=/run/user/1000/xauth",
                              "/opt/w x/winorvex"}));
    }
};

QTEST_GUILESS_MAIN(TestApplicationEntry)
#include "tst_applicationentry.moc"
