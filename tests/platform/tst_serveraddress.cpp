#include "platform/serveraddress.h"
#include "testenvironment.h"

#include <QtTest>

class TestServerAddress : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void fromText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("warns");
        QTest::newRow("empty keeps default") << ""
                                             << "default.host" << 43 << false;
        QTest::newRow("blank keeps default") << "  "
                                             << "default.host" << 43 << false;
        QTest::newRow("ipv4") << "127.0.0.1:4343"
                              << "127.0.0.1" << 4343 << false;
        QTest::newRow("name") << "registry.example.org:43"
                              << "registry.example.org" << 43 << false;
        QTest::newRow("ipv6") << "[::1]:5000"
                              << "::1" << 5000 << false;
        QTest::newRow("no port") << "localhost"
                                 << "default.host" << 43 << true;
        QTest::newRow("port zero") << "localhost:0"
                                   << "default.host" << 43 << true;
        QTest::newRow("port too big") << "localhost:70000"
                                      << "default.host" << 43 << true;
        QTest::newRow("port not a number") << "localhost:http"
                                           << "default.host" << 43 << true;
        QTest::newRow("no host") << ":43"
                                 << "default.host" << 43 << true;
    }
    void fromText()
    {
        QFETCH(QString, text);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(bool, warns);
        if (warns)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                                   "^ServerAddress ignoring malformed")));
        const ServerAddress address =
            ServerAddress::fromText(text, {QStringLiteral("default.host"), 43}, "X");
        QCOMPARE(address.host, host);
        QCOMPARE(int(address.port), port);
    }

    void designedPortsAndOverrides()
    {
        qunsetenv("WINORVEX_REGISTRY");
        qunsetenv("WINORVEX_UPDATE_SERVER");
        qunsetenv("WINORVEX_REPORT_SERVER");
        qunsetenv("WINORVEX_UPLOAD_SERVER");
        QCOMPARE(ServerAddress::registry().port, quint16(43));
        QCOMPARE(ServerAddress::updateServer().port, quint16(57777));
        QCOMPARE(ServerAddress::reportServer().port, quint16(57770));
        QCOMPARE(ServerAddress::uploadServer().port, quint16(57773));
        QVERIFY(!ServerAddress::registry().host.isEmpty());

        qputenv("WINORVEX_REGISTRY", "127.0.0.1:10043");
        QCOMPARE(ServerAddress::registry().host, QStringLiteral("127.0.0.1"));
        QCOMPARE(ServerAddress::registry().port, quint16(10043));
        qputenv("WINORVEX_UPLOAD_SERVER", "upload.test:9");
        QCOMPARE(ServerAddress::uploadServer().host, QStringLiteral("upload.test"));
        QCOMPARE(ServerAddress::uploadServer().port, quint16(9));
        qunsetenv("WINORVEX_REGISTRY");
        qunsetenv("WINORVEX_UPLOAD_SERVER");
    }
};

QTEST_GUILESS_MAIN(TestServerAddress)
#include "tst_serveraddress.moc"
