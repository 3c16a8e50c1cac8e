#include "platform/linuxplatforminfo.h"
#include "platform/systemerror.h"
#include "testenvironment.h"

#include <QtTest>

#include <cerrno>
#include <unistd.h>

class TestLinuxPlatformInfo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void versionCodeFromRelease_data()
    {
        QTest::addColumn<QString>("release");
        QTest::addColumn<int>("code");
        QTest::newRow("debian 12") << "6.1.0-18-amd64" << 0x0601;
        QTest::newRow("two digit minor") << "5.15.0-91-generic" << 0x050F;
        QTest::newRow("wsl") << "5.15.153.1-microsoft-standard-WSL2" << 0x050F;
        QTest::newRow("plain") << "4.19" << 0x0413;
        QTest::newRow("major only") << "6" << 0;
        QTest::newRow("garbage") << "linux" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("out of range") << "300.1" << 0;
    }
    void versionCodeFromRelease()
    {
        QFETCH(QString, release);
        QFETCH(int, code);
        QCOMPARE(LinuxPlatformInfo::versionCodeFromRelease(release), code);
    }

    void liveAnswersAreConsistent()
    {
        LinuxPlatformInfo info;
        QVERIFY(info.versionCode() >= 0x0200); // any kernel this runs on is 2.x or later
        QCOMPARE(info.isAdministrator(), geteuid() == 0);
        QCOMPARE(info.is64BitWindows(), false);
        qputenv("PROGRAMW6432", "C:\\Program Files");
        QCOMPARE(info.is64BitWindows(), true);
        qunsetenv("PROGRAMW6432");
    }

    void systemErrorLineShape()
    {
        QCOMPARE(systemErrorLine(QStringLiteral("Ctx::op() open"), ENOENT),
                 QStringLiteral(
                     "SYSTEM API Error for 'Ctx::op() open' [2]: 'No such file or directory'"));
    }

    void logSystemErrorReadsErrno()
    {
        QTest::ignoreMessage(QtWarningMsg,
                             "SYSTEM API Error for 'probe' [13]: 'Permission denied'");
        errno = EACCES;
        logSystemError(QStringLiteral("probe"));
    }
};

QTEST_GUILESS_MAIN(TestLinuxPlatformInfo)
#include "tst_linuxplatforminfo.moc"
