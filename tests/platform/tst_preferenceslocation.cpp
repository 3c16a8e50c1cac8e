#include "platform/preferenceslocation.h"
#include "testenvironment.h"

#include <QtTest>

#include <QStandardPaths>

class TestPreferencesLocation : public QObject
{
    Q_OBJECT

private:
    QString dataFolder() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void cleanup() { QDir(dataFolder()).removeRecursively(); }

    // A fresh account has no data folder at all.
    void foldersAreCreated()
    {
        QDir(dataFolder()).removeRecursively();
        QVERIFY(!QFileInfo::exists(dataFolder()));
        const QString path = PreferencesLocation::filePath();
        QCOMPARE(path, dataFolder() + QStringLiteral("/WinOrvex/Preferences.xml"));
        QVERIFY(QFileInfo(path).dir().exists());
        // Asked again, the same place.
        QCOMPARE(PreferencesLocation::filePath(), path);
    }

    void aFileInTheWayGivesNoPath()
    {
        QVERIFY(QDir().mkpath(dataFolder()));
        QFile blocker(dataFolder() + QStringLiteral("/WinOrvex"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable(QStringLiteral("Could not create directory to store the preferences file "
                                      "under '%1'")
                           .arg(dataFolder())));
        QVERIFY(PreferencesLocation::filePath().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPreferencesLocation)
#include "tst_preferenceslocation.moc"
