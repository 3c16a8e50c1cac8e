#include "fakepkexec.h"
#include "platform/elevation.h"
#include "testenvironment.h"

#include <QtTest>

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

class TestElevation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void argumentsCarryTheDisplayAndTheRequestToAnnounce()
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":0"));
        environment.insert(QStringLiteral("XAUTHORITY"), QStringLiteral("/run/user/1000/xauth"));
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin"));
        QCOMPARE(Elevation::arguments(QStringLiteral("/opt/w x/winorvex"), environment),
                 (QStringList{"env", "DISPLAY=:0", "XAUTHORITY=/run/user/1000/xauth",
                              "WINORVEX_ANNOUNCE_START=1", "/opt/w x/winorvex"}));
    }

    void pkexecOutcomes_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("outcome");
        const QByteArray line = "printf '%s\\n' '" + Elevation::startedLine() + "'\n";
        QTest::newRow("runs") << line + "exec /bin/sleep 30\n"
                              << "started";
        // The line counts even when the instance has ended before it was read.
        QTest::newRow("runs and ends at once") << line + "exit 3\n"
                                               << "started";
        QTest::newRow("dismissed") << QByteArray("exit 126\n") << "refused 126";
        QTest::newRow("not authorised") << QByteArray("exit 127\n") << "refused 127";
        QTest::newRow("other failure") << QByteArray("exit 1\n") << "failed exit status 1";
        QTest::newRow("killed") << QByteArray("kill -9 $$\n") << "failed ended by signal 9";
        QTest::newRow("other output only")
            << QByteArray("printf 'WinOrvex started\\n'\nexit 0\n") << "failed exit status 0";
        QTest::newRow("line without its end")
            << "printf '%s' '" + Elevation::startedLine() + "'\nexit 0\n"
            << "failed exit status 0";
        // Ends its output first, and only later its process.
        QTest::newRow("output closed before the end")
            << QByteArray("exec 1>&-\n/bin/sleep 0.2\nexit 126\n") << "refused 126";
    }
    void pkexecOutcomes()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, outcome);
        FakePkexec fake(script);
        Elevation elevation;
        QStringList seen;
        connect(&elevation, &Elevation::started, this, [&seen] { seen << "started"; });
        connect(&elevation, &Elevation::refused, this,
                [&seen](int status) { seen << QStringLiteral("refused %1").arg(status); });
        connect(&elevation, &Elevation::failed, this,
                [&seen](const QString &reason) { seen << "failed " + reason; });
        QVERIFY(elevation.start(QStringLiteral("/opt/winorvex")));
        QVERIFY(elevation.processId() > 0);
        QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty(), 10000);
        QCOMPARE(seen, QStringList{outcome});
        if (outcome == QLatin1String("started")) {
            ::kill(pid_t(elevation.processId()), SIGKILL);
            ::waitpid(pid_t(elevation.processId()), nullptr, 0);
        }
    }

    void missingPkexecCannotStart()
    {
        FakePkexec fake{QByteArray()};
        Elevation elevation;
        QSignalSpy failed(&elevation, &Elevation::failed);
        QVERIFY(!elevation.start(QStringLiteral("/opt/winorvex")));
        QCOMPARE(elevation.errorString(), QStringLiteral("pkexec is not installed"));
        QCOMPARE(elevation.processId(), 0);
        QCOMPARE(failed.count(), 0);
    }

    // An elevated instance, started by a pkexec that only runs its arguments:
    // it announces itself and keeps running. The instance is this test program
    // in its announcing role, so no window and no monitor of the machine start.
    void theElevatedInstanceAnnouncesItself()
    {
        FakePkexec fake("PATH=/usr/bin:/bin exec \"$@\" --announce-and-wait\n");
        Elevation elevation;
        QSignalSpy started(&elevation, &Elevation::started);
        QSignalSpy failed(&elevation, &Elevation::failed);
        QVERIFY(elevation.start(QCoreApplication::applicationFilePath()));
        const pid_t pid = pid_t(elevation.processId());
        QVERIFY(pid > 0);
        const auto reap = qScopeGuard([pid] {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        });
        QVERIFY2(started.wait(30000), qPrintable(failed.value(0).value(0).toString()));
        QCOMPARE(::waitpid(pid, nullptr, WNOHANG), 0); // still running
        QCOMPARE(failed.count(), 0);
    }
};

int main(int argc, char **argv)
{
    // The elevated instance's part: what the program does once its window is up.
    if (argc == 2 && qstrcmp(argv[1], "--announce-and-wait") == 0) {
        Elevation::announceStarted();
        for (;;)
            ::pause();
    }
    QCoreApplication app(argc, argv);
    TestElevation test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_elevation.moc"
