#include "fakeplatforminfo.h"
#include "platform/clock.h"
#include "platform/serveraddress.h"
#include "registry/orvexcommunicator.h"
#include "registry/uniqueid.h"
#include "registrytestserver.h"
#include "testenvironment.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {
const QString kDigest = QStringLiteral("0123456789abcdef0123456789abcdef");

QByteArray requestFor(const QList<QByteArray> &digests)
{
    QByteArray request = "begin\n" + OrvexCommunicator::clientToken() + '\n' +
                         OrvexCommunicator::installationDigest() + '\n' +
                         OrvexCommunicator::platformDigest() + '\n';
    for (const QByteArray &digest : digests)
        request += digest + '\n';
    return request + "end\n";
}
} // namespace

class TestOrvexCommunicator : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<RegistryTestServer> m_server;
    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<OrvexCommunicator> m_communicator;

    // A communicator aimed at the test server, its socket connected.
    void connectCommunicator()
    {
        qputenv("WINORVEX_REGISTRY", m_server->address());
        m_communicator = std::make_unique<OrvexCommunicator>();
        m_socket = std::make_unique<QTcpSocket>();
        m_communicator->setSocket(m_socket.get());
        QVERIFY(m_communicator->connectToOrvex());
        QVERIFY(m_communicator->isConnected());
        m_communicator->setRequest(requestFor({kDigest.toLatin1()}));
    }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void init()
    {
        m_server = std::make_unique<RegistryTestServer>();
        QVERIFY(m_server->listen());
    }

    void cleanup()
    {
        m_communicator.reset();
        m_socket.reset();
        m_server.reset();
        qunsetenv("WINORVEX_REGISTRY");
        Clock::resetTestSeam();
    }

    void shippedValuesAreTheDesignedOnes()
    {
        qunsetenv("WINORVEX_REGISTRY");
        OrvexCommunicator communicator;
        QCOMPARE(communicator.queryTimeout(), 10000);
        QCOMPARE(communicator.readTimeout(), 2000);
        QCOMPARE(OrvexCommunicator::connectTimeout, 30000);
        QCOMPARE(OrvexCommunicator::answerDeadline, 30000);
        QCOMPARE(OrvexCommunicator::answerRate, 64 * 1024);
        // 30 s, and one more second for each 64 KiB that has arrived.
        QCOMPARE(OrvexCommunicator::answerTimeAllowed(0), 30000);
        QCOMPARE(OrvexCommunicator::answerTimeAllowed(10 * 64 * 1024), 40000);
        QCOMPARE(OrvexCommunicator::answerTimeAllowed(OrvexCommunicator::maxAnswerSize),
                 30000 + 1024 * 1000);
        QCOMPARE(communicator.port(), quint16(43));
        QCOMPARE(communicator.host(), ServerAddress::registry().host);
        QVERIFY(!communicator.host().isEmpty());
        QVERIFY(!communicator.isConnected());
        QVERIFY(communicator.request().isEmpty());

        qputenv("WINORVEX_REGISTRY", "registry.example.test:4343");
        OrvexCommunicator overridden;
        QCOMPARE(overridden.host(), QStringLiteral("registry.example.test"));
        QCOMPARE(overridden.port(), quint16(4343));
        QCOMPARE(overridden.address(), QStringLiteral("registry.example.test:4343"));
        qputenv("WINORVEX_REGISTRY", "[::1]:4343");
        QCOMPARE(OrvexCommunicator().address(), QStringLiteral("[::1]:4343"));
    }

    void requestHeaderDigests()
    {
        FakePlatformInfo platform(48, false);
        QCOMPARE(OrvexCommunicator::clientToken(), QByteArray("4c9e1d7a02b85f36e1a7c04d9b28f5e3"));
        // The code 48 is hashed as the two characters "48".
        QCOMPARE(OrvexCommunicator::platformDigest(),
                 QByteArray("642e92efb79421734881b53e1e1b18b6"));
        UniqueId::setInstallationUuid(QUuid("{67c8770b-44f1-410a-ab9a-f9b5446f13ee}"));
        // The MD5 of "{67c8770b-44f1-410a-ab9a-f9b5446f13ee}", braces and all.
        QCOMPARE(OrvexCommunicator::installationDigest(),
                 QByteArray("a4d19be45371368782bc8bd5cbf7be2b"));
    }

    void smallAnswerWaitsForTheReadTimeout()
    {
        Clock::setTestWaitDivisor(10); // read timeout 200 ms
        connectCommunicator();
        m_server->setAnswer(kDigest, 1275400000, 12);
        QSignalSpy payloads(m_communicator.get(), &OrvexCommunicator::payload);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(m_communicator->queryOrvex());
        QVERIFY(timer.elapsed() >= 200);
        QCOMPARE(payloads.count(), 1);
        QCOMPARE(payloads.at(0).at(0).toByteArray(),
                 "ORVEX REGISTRY ANSWER\n" + kDigest.toLatin1() + " 1275400000 12\n");
        QCOMPARE(m_server->requests().value(0).raw, m_communicator->request());
    }

    void answerInPiecesArrivesWhole_data()
    {
        QTest::addColumn<qint64>("padding");
        QTest::addColumn<int>("pieceSize");
        QTest::addColumn<int>("pauseMs");

        QTest::newRow("small pieces") << qint64(6000) << 700 << 20;
        // Pieces above 2048 bytes do not end the answer.
        QTest::newRow("pieces above 2 KiB") << qint64(200000) << 5000 << 30;
        QTest::newRow("one large write") << qint64(3000000) << 0 << 0;
    }

    void answerInPiecesArrivesWhole()
    {
        QFETCH(qint64, padding);
        QFETCH(int, pieceSize);
        QFETCH(int, pauseMs);

        // Read timeout 1 s, far above the pauses even when the server thread is
        // kept waiting on a busy machine.
        Clock::setTestWaitDivisor(2);
        connectCommunicator();
        m_server->setPadding(padding);
        m_server->setPieces(pieceSize, pauseMs);
        m_server->setAnswer(kDigest, 1275400000, 12);
        QSignalSpy payloads(m_communicator.get(), &OrvexCommunicator::payload);
        QVERIFY(m_communicator->queryOrvex());
        QCOMPARE(payloads.count(), 1);
        const QByteArray answer = payloads.at(0).at(0).toByteArray();
        QVERIFY(answer.size() > padding);
        QVERIFY(answer.startsWith("ORVEX REGISTRY ANSWER\n# xxx"));
        QVERIFY(answer.endsWith("\n" + kDigest.toLatin1() + " 1275400000 12\n"));
    }

    void silenceLongerThanTheReadTimeoutEndsTheAnswer()
    {
        Clock::setTestWaitDivisor(20); // read timeout 100 ms
        connectCommunicator();
        m_server->setPadding(3000);
        m_server->setPieces(1000, 3000); // far longer than a busy machine stalls
        QSignalSpy payloads(m_communicator.get(), &OrvexCommunicator::payload);
        QVERIFY(m_communicator->queryOrvex());
        QCOMPARE(payloads.count(), 1);
        QCOMPARE(payloads.at(0).at(0).toByteArray().size(), 1000);
    }

    void closingTheConnectionEndsTheAnswerAtOnce()
    {
        connectCommunicator();            // designed read timeout: 2 s
        m_server->setCloseAfter(1 << 20); // more than the answer: all of it, then close
        QSignalSpy payloads(m_communicator.get(), &OrvexCommunicator::payload);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(m_communicator->queryOrvex());
        QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(payloads.count(), 1);
        QVERIFY(payloads.at(0).at(0).toByteArray().endsWith(" 0 NO_DATA\n"));
    }

    void closingMidAnswerHandsOnWhatCame()
    {
        Clock::setTestWaitDivisor(10);
        connectCommunicator();
        m_server->setPadding(10000);
        m_server->setCloseAfter(7000);
        m_server->setPieces(3000, 10);
        QSignalSpy payloads(m_communicator.get(), &OrvexCommunicator::payload);
        QVERIFY(m_communicator->queryOrvex());
        QCOMPARE(payloads.count(), 1);
        QCOMPARE(payloads.at(0).at(0).toByteArray().size(), 7000);
        QVERIFY(!m_communicator->isConnected());
    }

    void noAnswerWithinTheQueryTimeout()
    {
        Clock::setTestWaitDivisor(50); // query timeout 200 ms
        connectCommunicator();
        m_server->setSilent(true);
        QSignalSpy payloads(m_communicator.get(), &OrvexCommunicator::payload);
        QTest::ignoreMessage(QtWarningMsg, "OrvexCommunicator::queryOrvex() timed out waiting for "
                                           "data from the Orvex!");
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!m_communicator->queryOrvex());
        QVERIFY(timer.elapsed() >= 200);
        QCOMPARE(payloads.count(), 0);
        QTRY_COMPARE(m_server->requestCount(), 1);
    }

    void socketNotOpen()
    {
        qputenv("WINORVEX_REGISTRY", m_server->address());
        OrvexCommunicator communicator;
        communicator.setRequest(requestFor({kDigest.toLatin1()}));
        QSignalSpy payloads(&communicator, &OrvexCommunicator::payload);
        QTest::ignoreMessage(QtWarningMsg,
                             "OrvexCommunicator::queryOrvex() socket was null or not open!");
        QVERIFY(!communicator.queryOrvex());

        QTcpSocket socket;
        communicator.setSocket(&socket);
        QTest::ignoreMessage(QtWarningMsg,
                             "OrvexCommunicator::queryOrvex() socket was null or not open!");
        QVERIFY(!communicator.queryOrvex());
        QCOMPARE(payloads.count(), 0);
        QTest::qWait(50);
        QCOMPARE(m_server->connectionCount(), 0);
    }

    void connectionSignals()
    {
        qputenv("WINORVEX_REGISTRY", m_server->address());
        OrvexCommunicator communicator;
        QTcpSocket socket;
        communicator.setSocket(&socket);
        QSignalSpy established(&communicator, &OrvexCommunicator::communicationEstablished);
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QStringLiteral("OrvexCommunicator Socket Connected To "
                                                       "127.0.0.1:%1.")
                                            .arg(m_server->port())));
        QVERIFY(communicator.connectToOrvex());
        QCOMPARE(established.count(), 1);
        QTRY_COMPARE(m_server->connectionCount(), 1);

        // A replaced socket no longer reaches the communicator.
        QTcpSocket replacement;
        QTest::ignoreMessage(QtWarningMsg,
                             "OrvexCommunicator::setSocket() old socket disconnected OK");
        communicator.setSocket(&replacement);
        socket.abort();
        socket.connectToHost(QHostAddress::LocalHost, m_server->port());
        QVERIFY(socket.waitForConnected(5000));
        QCOMPARE(established.count(), 1);
        QVERIFY(!communicator.isConnected());
        QVERIFY(communicator.connectToOrvex());
        QCOMPARE(established.count(), 2);
    }

    void errorMessages_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("message");

        // The designed words, then where and why.
        QTest::newRow("host not found")
            << "host"
            << QStringLiteral("Could not connect to the malware database. nonexistent.invalid:43: "
                              "host not found.");
        QTest::newRow("refused") << "refused"
                                 << QStringLiteral("Unknown network error encountered. %1: "
                                                   "connection refused.");
    }

    void errorMessages()
    {
        QFETCH(QString, situation);
        QFETCH(QString, message);

        if (situation == QLatin1String("host")) {
            qputenv("WINORVEX_REGISTRY", "nonexistent.invalid:43");
        } else {
            QVERIFY(m_server->setRefusing(true));
            qputenv("WINORVEX_REGISTRY", m_server->address());
            message = message.arg(QString::fromLatin1(m_server->address()));
        }
        OrvexCommunicator communicator;
        QTcpSocket socket;
        communicator.setSocket(&socket);
        QSignalSpy errors(&communicator, &OrvexCommunicator::communicationError);
        QVERIFY(!communicator.connectToOrvex());
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), message);
        QCOMPARE(communicator.failure(), message.section(QStringLiteral(": "), -1).chopped(1));
    }

    void timeoutHasNoMessage()
    {
        OrvexCommunicator communicator;
        QTcpSocket socket;
        communicator.setSocket(&socket);
        QSignalSpy errors(&communicator, &OrvexCommunicator::communicationError);
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression("^OrvexCommunicator::displaySocketError\\(\\) #5: "));
        communicator.displaySocketError(QAbstractSocket::SocketTimeoutError);
        QCOMPARE(errors.count(), 0);
        communicator.displaySocketError(QAbstractSocket::RemoteHostClosedError);
        QCOMPARE(errors.count(), 1);
    }

    void answersAreCappedAt64MiB_data()
    {
        QTest::addColumn<qint64>("sent");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("exactly 64 MiB") << OrvexCommunicator::maxAnswerSize << true;
        QTest::newRow("one byte more") << OrvexCommunicator::maxAnswerSize + 1 << false;
    }

    void answersAreCappedAt64MiB()
    {
        QFETCH(qint64, sent);
        QFETCH(bool, accepted);

        connectCommunicator(); // designed timeouts: building 64 MiB takes the server a while
        m_server->setPadding(OrvexCommunicator::maxAnswerSize + 4096);
        m_server->setCloseAfter(sent);
        QSignalSpy payloads(m_communicator.get(), &OrvexCommunicator::payload);
        if (!accepted)
            QTest::ignoreMessage(QtWarningMsg, "OrvexCommunicator::readServer() the answer exceeds "
                                               "67108864 bytes; dropping it and the connection");
        QCOMPARE(m_communicator->queryOrvex(), accepted);
        QCOMPARE(payloads.count(), accepted ? 1 : 0);
        if (accepted)
            QCOMPARE(payloads.at(0).at(0).toByteArray().size(), sent);
        else
            QVERIFY(!m_communicator->isConnected());
    }
};

QTEST_GUILESS_MAIN(TestOrvexCommunicator)
#include "tst_orvexcommunicator.moc"
