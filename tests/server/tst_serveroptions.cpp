#include "server/serveroptions.h"
#include "testenvironment.h"

#include <QtTest>

class TestServerOptions : public QObject
{
    Q_OBJECT

private:
    static ServerOptions parse(const QStringList &arguments)
    {
        return ServerOptions::fromArguments(QStringList{QStringLiteral("winorvex-server")} +
                                            arguments);
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QCoreApplication::setApplicationName(QStringLiteral("winorvex-server"));
        QCoreApplication::setApplicationVersion(QStringLiteral("9.9"));
    }

    void defaultsAreTheShippedValues()
    {
        const ServerOptions options = parse({});
        QCOMPARE(options.action, ServerOptions::Action::Run);
        QCOMPARE(options.listenAddress, QHostAddress(QHostAddress::LocalHost));
        QCOMPARE(options.registryPort, quint16(43));
        QVERIFY(options.hashListPath.isEmpty());
        QVERIFY(!options.updatePort && !options.reportPort && !options.uploadPort);
        QCOMPARE(options.limits.maxDigests, 1000000);
        QCOMPARE(options.limits.maxLineLength, 4096);
        QCOMPARE(options.limits.idleTimeoutMs, 30000);
        QCOMPARE(options.limits.maxConnections, 256);
        QCOMPARE(options.limits.maxUploadSize, qint64(64) * 1024 * 1024);
        QCOMPARE(options.limits.requestTimeoutMs, 30000);
        QCOMPARE(options.limits.minRequestRate, 64 * 1024);
        QCOMPARE(options.limits.displaceAfterMs, 1000);
        QVERIFY(!options.acceptEmptyHashList);
    }

    void readsEveryOption()
    {
        QStringList arguments{"--listen",           "::1",
                              "--registry-port",    "0",
                              "--hash-list",        "/srv/list.txt",
                              "--update-port",      "57777",
                              "--update-offer",     "/srv/offer.txt",
                              "--report-port",      "57770",
                              "--report-file",      "/srv/reports.txt",
                              "--upload-port",      "57773",
                              "--upload-dir",       "/srv/uploads",
                              "--max-digests",      "10",
                              "--max-line-length",  "100",
                              "--idle-timeout",     "0.25",
                              "--max-connections",  "7",
                              "--max-upload-size",  "1000",
                              "--max-report-size",  "500",
                              "--request-timeout",  "2.5",
                              "--min-request-rate", "4096",
                              "--displace-after",   "0"};
        arguments << "--accept-empty-hash-list";
        const ServerOptions options = parse(arguments);
        QCOMPARE(options.action, ServerOptions::Action::Run);
        QCOMPARE(options.listenAddress, QHostAddress(QHostAddress::LocalHostIPv6));
        QCOMPARE(options.registryPort, quint16(0));
        QCOMPARE(options.hashListPath, QStringLiteral("/srv/list.txt"));
        QCOMPARE(options.updatePort, std::optional<quint16>(57777));
        QCOMPARE(options.updateOfferPath, QStringLiteral("/srv/offer.txt"));
        QCOMPARE(options.reportPort, std::optional<quint16>(57770));
        QCOMPARE(options.reportFilePath, QStringLiteral("/srv/reports.txt"));
        QCOMPARE(options.uploadPort, std::optional<quint16>(57773));
        QCOMPARE(options.uploadDir, QStringLiteral("/srv/uploads"));
        QCOMPARE(options.limits.maxDigests, 10);
        QCOMPARE(options.limits.maxLineLength, 100);
        QCOMPARE(options.limits.idleTimeoutMs, 250);
        QCOMPARE(options.limits.maxConnections, 7);
        QCOMPARE(options.limits.maxUploadSize, qint64(1000));
        QCOMPARE(options.limits.maxReportSize, 500);
        QCOMPARE(options.limits.requestTimeoutMs, 2500);
        QCOMPARE(options.limits.minRequestRate, 4096);
        QCOMPARE(options.limits.displaceAfterMs, 0);
        QVERIFY(options.acceptEmptyHashList);
    }

    void refusesBadCommandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << QStringList{"--colour"} << "Unknown option";
        QTest::newRow("stray argument") << QStringList{"list.txt"} << "unexpected argument";
        QTest::newRow("port too big")
            << QStringList{"--registry-port", "65536"} << "--registry-port needs a port";
        QTest::newRow("port not a number")
            << QStringList{"--update-port", "http"} << "--update-port needs a port";
        QTest::newRow("negative port") << QStringList{"--registry-port", "-1"} << "needs a port";
        QTest::newRow("host name")
            << QStringList{"--listen", "localhost"} << "--listen needs an IP address";
        QTest::newRow("offer without port")
            << QStringList{"--update-offer", "o.txt"} << "--update-offer needs --update-port";
        QTest::newRow("report port alone") << QStringList{"--report-port", "0"} << "go together";
        QTest::newRow("report file alone")
            << QStringList{"--report-file", "r.txt"} << "go together";
        QTest::newRow("upload dir alone") << QStringList{"--upload-dir", "u"} << "go together";
        QTest::newRow("zero connections")
            << QStringList{"--max-connections", "0"} << "--max-connections needs a whole number";
        QTest::newRow("idle not a number")
            << QStringList{"--idle-timeout", "soon"} << "--idle-timeout needs seconds";
        QTest::newRow("idle zero")
            << QStringList{"--idle-timeout", "0"} << "--idle-timeout needs seconds";
        QTest::newRow("request timeout zero")
            << QStringList{"--request-timeout", "0"} << "--request-timeout needs seconds";
        QTest::newRow("negative grace")
            << QStringList{"--displace-after", "-1"} << "--displace-after needs seconds from 0";
        QTest::newRow("rate zero")
            << QStringList{"--min-request-rate", "0"} << "--min-request-rate needs a whole number";
        QTest::newRow("upload size words")
            << QStringList{"--max-upload-size", "64M"} << "--max-upload-size needs";
    }
    void refusesBadCommandLines()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const ServerOptions options = parse(arguments);
        QCOMPARE(options.action, ServerOptions::Action::Fail);
        QVERIFY2(options.message.contains(message), qPrintable(options.message));
    }

    void helpAndVersion()
    {
        const ServerOptions help = parse({"--help"});
        QCOMPARE(help.action, ServerOptions::Action::ShowHelp);
        for (const char *option :
             {"--listen", "--registry-port", "--hash-list", "--update-port", "--update-offer",
              "--report-port", "--report-file", "--upload-port", "--upload-dir", "--max-digests",
              "--max-line-length", "--idle-timeout", "--max-connections", "--max-upload-size",
              "--request-timeout", "--min-request-rate", "--displace-after",
              "--accept-empty-hash-list"})
            QVERIFY2(help.message.contains(QLatin1String(option)), option);

        const ServerOptions version = parse({"--version"});
        QCOMPARE(version.action, ServerOptions::Action::ShowVersion);
        QCOMPARE(version.message, QStringLiteral("winorvex-server 9.9"));
    }
};

QTEST_GUILESS_MAIN(TestServerOptions)
#include "tst_serveroptions.moc"
