#include "platform/clock.h"
#include "server/connectionsocket.h"
#include "server/registryconnection.h"
#include "server/registryservice.h"
#include "servertestclient.h"
#include "testenvironment.h"

#include <QRandomGenerator>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

using namespace ServerTestClient;

namespace {

const QByteArray listed = QByteArrayLiteral("d41d8cd98f00b204e9800998ecf8427e");
const QByteArray clean = QByteArrayLiteral("0123456789abcdef0123456789abcdef");
const QByteArray unlisted = QByteArrayLiteral("ffffffffffffffffffffffffffffffff");

// Half of the digests digest(0..) are listed, with a rate and time from the seed.
HashList testList(int generated)
{
    HashList list;
    list.insert(*Md5Key::fromHex(listed), {73, 1700000000});
    list.insert(*Md5Key::fromHex(clean), {0, 1600000000});
    for (int i = 0; i < generated; i += 2)
        list.insert(*Md5Key::fromHex(digest(i)), {i % 101, 1000000 + i});
    return list;
}

QByteArray expectedRecord(int seed)
{
    if (seed % 2 == 0)
        return digest(seed) + ' ' + QByteArray::number(1000000 + seed) + ' ' +
               QByteArray::number(seed % 101);
    return digest(seed) + " 0 NO_DATA";
}

// expectedRecord(seed) + '\n' for the seeds 0..99999, made once.
const QList<QByteArray> &expectedLines()
{
    static const QList<QByteArray> lines = [] {
        QList<QByteArray> all;
        for (int i = 0; i < 100000; ++i)
            all.append(expectedRecord(i) + '\n');
        return all;
    }();
    return lines;
}

// A request for `count` digests, digest(0..99999) over and over.
QByteArray hugeRequest(int count)
{
    const QList<QByteArray> &lines = expectedLines();
    QByteArray request = "begin\n" + header();
    request.reserve(request.size() + qsizetype(count) * 33 + 4);
    for (int i = 0; i < count; ++i) {
        request.append(lines.at(i % lines.size()).constData(), 32);
        request.append('\n');
    }
    return request + "end\n";
}

// Reads the answer to hugeRequest(count) as it comes, record for record; an
// empty result when it is complete and right, else what is wrong with it.
QString readHugeAnswer(QTcpSocket &socket, int count)
{
    const QList<QByteArray> &lines = expectedLines();
    socket.setReadBufferSize(0);
    QByteArray pending;
    bool headerSeen = false;
    int answered = 0;
    QString problem;
    auto take = [&] {
        pending += socket.readAll();
        qsizetype start = 0;
        for (qsizetype end; (end = pending.indexOf('\n', start)) >= 0; start = end + 1) {
            const QByteArrayView line(pending.constData() + start, end - start + 1);
            if (!headerSeen) {
                headerSeen = true;
                if (line != RegistryService::answerHeader())
                    problem = QStringLiteral("header %1").arg(QString::fromLatin1(line));
                continue;
            }
            if (problem.isEmpty() && line != lines.at(answered % lines.size())) {
                problem =
                    QStringLiteral("record %1: %2").arg(answered).arg(QString::fromLatin1(line));
            }
            ++answered;
        }
        pending.remove(0, start);
        return answered >= count;
    };
    spinUntil(take, 60000);
    if (!problem.isEmpty())
        return problem;
    if (answered != count || !pending.isEmpty())
        return QStringLiteral("%1 of %2 records, %3 bytes left")
            .arg(answered)
            .arg(count)
            .arg(pending.size());
    return QString();
}

} // namespace

class TestRegistryService : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<RegistryService> m_service;

    quint16 startService(const ServerLimits &limits = ServerLimits())
    {
        m_service = std::make_unique<RegistryService>(limits);
        m_service->setHashList(testList(100000));
        QString error;
        if (!m_service->listen(QHostAddress(QHostAddress::LocalHost), 0, &error))
            qFatal("%s", qPrintable(error));
        return m_service->serverPort();
    }

    static ServerLimits shortLimits()
    {
        ServerLimits limits;
        // Long enough for a loaded machine; the idle tests set their own.
        limits.idleTimeoutMs = 3000;
        limits.maxDigests = 5000;
        return limits;
    }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void cleanup()
    {
        m_service.reset();
        Clock::resetTestSeam();
    }

    void answersListedUnlistedAndUpperCaseDigests()
    {
        const quint16 port = startService();
        const QByteArray answer = exchange(port,
                                           registryRequest({listed, unlisted, clean.toUpper(),
                                                            "D41D8CD98F00B204E9800998ECF8427E"}),
                                           5);
        QVERIFY(answer.startsWith(RegistryService::answerHeader()));
        QCOMPARE(records(answer),
                 (QList<QByteArray>{listed + " 1700000000 73", unlisted + " 0 NO_DATA",
                                    clean + " 1600000000 0", listed + " 1700000000 73"}));
        QVERIFY(answer.endsWith('\n'));
    }

    void acceptsCarriageReturnLineEnds()
    {
        const quint16 port = startService();
        QByteArray request = registryRequest({listed, unlisted});
        request.replace("\n", "\r\n");
        QCOMPARE(records(exchange(port, request, 3)),
                 (QList<QByteArray>{listed + " 1700000000 73", unlisted + " 0 NO_DATA"}));
    }

    void answersSeveralRequestsOnOneConnection()
    {
        const quint16 port = startService();
        QTcpSocket socket;
        QVERIFY(connectTo(socket, port));

        // One after the other, each answered before the next is sent.
        socket.write(registryRequest({listed}));
        QCOMPARE(records(readLines(socket, 2)), QList<QByteArray>{listed + " 1700000000 73"});
        socket.write(registryRequest({unlisted, clean}));
        QCOMPARE(records(readLines(socket, 3)),
                 (QList<QByteArray>{unlisted + " 0 NO_DATA", clean + " 1600000000 0"}));

        // Pipelined, with blank lines between requests and one split mid-line.
        const QByteArray both =
            registryRequest({digest(2)}) + "\n\n" + registryRequest({digest(3)});
        socket.write(both.left(both.size() / 2 + 3));
        QTest::qWait(20);
        socket.write(both.mid(both.size() / 2 + 3));
        const QByteArray answer = readLines(socket, 4);
        QCOMPARE(answer, QByteArray(RegistryService::answerHeader()) + expectedRecord(2) + '\n' +
                             RegistryService::answerHeader() + expectedRecord(3) + '\n');
        QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
    }

    void skipsLinesThatAreNotDigests()
    {
        const quint16 port = startService();
        QByteArray request = "begin\n" + header() + listed + "\nnot a digest\n" + listed.left(31) +
                             "\n\n" + unlisted + "\nend\n";
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                               "skipped 2 lines that are not digests")));
        QTcpSocket socket;
        QVERIFY(connectTo(socket, port));
        socket.write(request);
        QCOMPARE(records(readLines(socket, 3)),
                 (QList<QByteArray>{listed + " 1700000000 73", unlisted + " 0 NO_DATA"}));
        // The connection stays usable.
        socket.write(registryRequest({clean}));
        QCOMPARE(records(readLines(socket, 2)), QList<QByteArray>{clean + " 1600000000 0"});
    }

    void closesBadRequests_data()
    {
        QTest::addColumn<QByteArray>("prefix"); // a good request answered first
        QTest::addColumn<QByteArray>("bad");
        QTest::addColumn<QString>("problem");

        const QByteArray good = registryRequest({listed});
        QTest::newRow("no begin") << QByteArray() << QByteArray("hello\n")
                                  << QStringLiteral("does not start with \"begin\"");
        QTest::newRow("digest before begin") << good << listed + "\n"
                                             << QStringLiteral("does not start with \"begin\"");
        QTest::newRow("bad token") << QByteArray() << QByteArray("begin\nsecret\n")
                                   << QStringLiteral("request line 2 is not 32 hexadecimal");
        QTest::newRow("end in the header")
            << QByteArray() << "begin\n" + header().left(33) + "end\n"
            << QStringLiteral("request line 3 is not 32 hexadecimal");
        QTest::newRow("too long line") << good << QByteArray(4097, 'a') + '\n'
                                       << QStringLiteral("line longer than 4096 bytes");
        QTest::newRow("binary without a line end")
            << good << QByteArray("\x7f\x45\x4c\x46\x02\x01", 6)
            << QStringLiteral("bytes that are not text");
        QTest::newRow("binary garbage") << good << QByteArray("begin\n\x01\x02\xff\0zz\n", 13)
                                        << QStringLiteral("bytes that are not text");
        QByteArray noEnd = "begin\n" + header();
        for (int i = 0; i <= 5000; ++i)
            noEnd += digest(i) + '\n';
        QTest::newRow("no end within the limit")
            << good << noEnd << QStringLiteral("no \"end\" within 5000");
    }
    void closesBadRequests()
    {
        QFETCH(QByteArray, prefix);
        QFETCH(QByteArray, bad);
        QFETCH(QString, problem);
        const quint16 port = startService(shortLimits());

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(problem) +
                                                              QStringLiteral(".*; closing$")));
        QTcpSocket socket;
        QVERIFY(connectTo(socket, port));
        socket.write(prefix + bad);
        const QByteArray answer = readLines(socket, prefix.isEmpty() ? 1 : 2, 5000);
        QVERIFY(waitForClosed(socket, 5000));
        // What was asked before the fault is still answered in full.
        if (!prefix.isEmpty())
            QCOMPARE(records(answer), QList<QByteArray>{listed + " 1700000000 73"});
        else
            QVERIFY(answer.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 0, 5000);
    }

    void closesAHugeLineWithoutReadingIt()
    {
        const quint16 port = startService(shortLimits());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("line longer than")));
        QTcpSocket socket;
        QVERIFY(connectTo(socket, port));
        socket.write(QByteArray(10 * 1024 * 1024, 'x'));
        QVERIFY(waitForClosed(socket, 10000));
        QVERIFY(socket.bytesToWrite() > 0 || socket.error() != QAbstractSocket::UnknownSocketError);
        QCOMPARE(exchange(port, registryRequest({listed}), 2),
                 QByteArray(RegistryService::answerHeader()) + listed + " 1700000000 73\n");
    }

    void closesSilentAndStalledClientsAfterTheIdleLimit()
    {
        // The shipped 30 s limit, shortened through the clock seam.
        Clock::setTestWaitDivisor(100);
        const quint16 port = startService();
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("nothing sent or read for 300 ms")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("nothing sent or read for 300 ms")));
        QTcpSocket silent;
        QTcpSocket stalled;
        QVERIFY(connectTo(silent, port));
        QVERIFY(connectTo(stalled, port));
        stalled.write("begin\n" + header() + listed + '\n');
        QElapsedTimer timer;
        timer.start();
        QVERIFY(waitForClosed(silent, 5000));
        QVERIFY(waitForClosed(stalled, 5000));
        QVERIFY2(timer.elapsed() >= 250, "closed before the idle limit");
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 0, 5000);
    }

    void aStalledClientDoesNotHoldUpOthers()
    {
        const quint16 port = startService();
        QTcpSocket stalled;
        QVERIFY(connectTo(stalled, port));
        stalled.write("begin\n" + header() + listed + '\n' + unlisted.left(10));
        QTest::qWait(20);
        QCOMPARE(records(exchange(port, registryRequest({clean}), 2, 2000)),
                 QList<QByteArray>{clean + " 1600000000 0"});
        // The stalled request completes whenever its client goes on.
        stalled.write(unlisted.mid(10) + "\nend\n");
        QCOMPARE(records(readLines(stalled, 3)),
                 (QList<QByteArray>{listed + " 1700000000 73", unlisted + " 0 NO_DATA"}));
    }

    void aClientThatNeverReadsIsDroppedAndOthersGoOn()
    {
        ServerLimits limits;
        limits.idleTimeoutMs = 1500;
        const quint16 port = startService(limits);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("nothing sent or read")));

        // Far more answers than any buffer holds, and a client that reads none.
        QTcpSocket greedy;
        greedy.setReadBufferSize(1024);
        QVERIFY(connectTo(greedy, port));
        QList<QByteArray> digests;
        for (int i = 0; i < 5000; ++i)
            digests.append(digest(i));
        const QByteArray request = registryRequest(digests);
        for (int i = 0; i < 100; ++i)
            greedy.write(request);

        QTest::qWait(50);
        QCOMPARE(records(exchange(port, registryRequest({listed}), 2, 2000)),
                 QList<QByteArray>{listed + " 1700000000 73"});
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 0, 10000);
    }

    void excessConnectionsAreClosedAtOnce()
    {
        ServerLimits limits;
        limits.maxConnections = 3;
        // The held connections stay within the grace that protects them from
        // being displaced, however slow the machine.
        limits.displaceAfterMs = 3600 * 1000;
        const quint16 port = startService(limits);
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < 3; ++i) {
            held.push_back(std::make_unique<QTcpSocket>());
            QVERIFY(connectTo(*held.back(), port));
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 3, 5000);

        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("already 3 connections; closing")));
        QTcpSocket excess;
        QVERIFY(connectTo(excess, port));
        QVERIFY(waitForClosed(excess, 2000));

        // The held ones are served, and a freed place is taken again.
        held.front()->write(registryRequest({listed}));
        QCOMPARE(records(readLines(*held.front(), 2)),
                 QList<QByteArray>{listed + " 1700000000 73"});
        held.front()->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 2, 5000);
        QCOMPARE(records(exchange(port, registryRequest({clean}), 2)),
                 QList<QByteArray>{clean + " 1600000000 0"});
    }

    void anAnswerInProgressIsNeverDisplaced()
    {
        ServerLimits limits;
        limits.maxConnections = 1;
        limits.displaceAfterMs = 0;
        const quint16 port = startService(limits);

        // The one place is held by a client whose answer waits for it to read.
        QTcpSocket reader;
        reader.setReadBufferSize(4096);
        QVERIFY(connectTo(reader, port));
        // An answer of some 9 MB: more than the socket buffers hold.
        constexpr int count = 200000;
        reader.write(hugeRequest(count));
        QVERIFY(spinUntil(
            [&] { return m_service->bytesToWrite() >= RegistryConnection::answerQueueLimit; },
            30000));

        // A newcomer is refused rather than cutting the answer.
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("already 1 connections; closing")));
        QTcpSocket newcomer;
        QVERIFY(connectTo(newcomer, port));
        QVERIFY(waitForClosed(newcomer, 5000));
        const QString problem = readHugeAnswer(reader, count);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));

        // Once the answer is out, the quiet connection makes room.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("takes its place")));
        QCOMPARE(records(exchange(port, registryRequest({listed}), 2)),
                 QList<QByteArray>{listed + " 1700000000 73"});
        QVERIFY(waitForClosed(reader, 5000));
    }

    void aClientThatDoesNotReadHoldsLittleMemory()
    {
        const ServerLimits limits;
        const quint16 port = startService(limits);
        QTcpSocket client;
        client.setReadBufferSize(4096); // reads nothing more until asked
        QVERIFY(connectTo(client, port));
        // Some 13 MB of request for 18 MB of answer: far more than the socket
        // buffers hold.
        constexpr int count = 400000;
        const QByteArray request = hugeRequest(count);
        client.write(request);

        // The answer stops once the client's buffers are full, and so does the
        // reading of the request.
        QVERIFY(spinUntil(
            [&] { return m_service->bytesToWrite() >= RegistryConnection::answerQueueLimit; },
            30000));
        QVERIFY2(m_service->bytesReceived() < request.size() / 2,
                 qPrintable(QString::number(m_service->bytesReceived())));
        const qint64 bound = RegistryConnection::memoryBound(limits);
        QVERIFY2(bound < 1024 * 1024, qPrintable(QString::number(bound)));
        QVERIFY2(m_service->peakHeldBytes() <= bound,
                 qPrintable(QString::number(m_service->peakHeldBytes())));

        // Once the client reads, the whole answer comes.
        const QString problem = readHugeAnswer(client, count);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QVERIFY2(m_service->peakHeldBytes() <= bound,
                 qPrintable(QString::number(m_service->peakHeldBytes())));
    }

    void swappingTheListChangesLaterAnswersOnly()
    {
        const quint16 port = startService();
        QTcpSocket socket;
        QVERIFY(connectTo(socket, port));
        socket.write(registryRequest({listed}));
        QCOMPARE(records(readLines(socket, 2)), QList<QByteArray>{listed + " 1700000000 73"});

        HashList replacement;
        replacement.insert(*Md5Key::fromHex(unlisted), {99, 42});
        m_service->setHashList(std::move(replacement));
        socket.write(registryRequest({listed, unlisted}));
        QCOMPARE(records(readLines(socket, 3)),
                 (QList<QByteArray>{listed + " 0 NO_DATA", unlisted + " 42 99"}));
    }

    void aLongAnswerComesWholeFromOneList()
    {
        const quint16 port = startService();
        QTcpSocket socket;
        socket.setReadBufferSize(4096); // reads nothing more until asked
        QVERIFY(connectTo(socket, port));
        // About 20 MB of answer: far more than the server queues and the kernel buffers.
        QByteArray expected = RegistryService::answerHeader();
        for (int i = 0; i < 400000; ++i)
            expected += expectedLines().at(i % 100000);
        socket.write(hugeRequest(400000));

        // Once the answer has begun, the server waits for the client to read.
        QTRY_VERIFY_WITH_TIMEOUT(socket.bytesAvailable() > 0, 20000);
        m_service->setHashList(HashList());

        socket.setReadBufferSize(0);
        QByteArray answer;
        QVERIFY(spinUntil(
            [&] {
                answer += socket.readAll();
                return answer.size() >= expected.size();
            },
            30000));
        QCOMPARE(answer.size(), expected.size());
        QVERIFY(answer == expected);

        // The next request on the same connection sees the new, empty list.
        socket.write(registryRequest({listed}));
        QCOMPARE(records(readLines(socket, 2)), QList<QByteArray>{listed + " 0 NO_DATA"});
    }

    void fiftyConcurrentClientsAmongMalformedOnes()
    {
        const quint16 port = startService(shortLimits());
        constexpr int clientCount = 50;
        constexpr int digestsPerClient = 1000;

        struct Client
        {
            std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
            QByteArray expected;
            QByteArray received;
            int firstSeed = 0;
        };
        std::vector<Client> clients(clientCount);
        for (int c = 0; c < clientCount; ++c) {
            Client &client = clients[c];
            client.firstSeed = c * digestsPerClient;
            QList<QByteArray> digests;
            client.expected = RegistryService::answerHeader();
            for (int i = 0; i < digestsPerClient; ++i) {
                digests.append(digest(client.firstSeed + i));
                client.expected += expectedRecord(client.firstSeed + i) + '\n';
            }
            client.socket->connectToHost(QHostAddress(QHostAddress::LocalHost), port);
            // Written in pieces of uneven size, as a real network would deliver it.
            const QByteArray request = registryRequest(digests);
            QTcpSocket *socket = client.socket.get();
            connect(socket, &QTcpSocket::connected, socket, [socket, request] {
                qsizetype at = 0;
                while (at < request.size()) {
                    const qsizetype piece = QRandomGenerator::global()->bounded(1, 5000);
                    socket->write(request.mid(at, piece));
                    at += piece;
                }
            });
        }

        // The malformed ones, at the same time.
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("does not start with")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("line longer than")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("bytes that are not text")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no \"end\" within")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("nothing sent or read")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("nothing sent or read")));
        QByteArray garbage(64 * 1024, '\0');
        for (char &c : garbage)
            c = static_cast<char>(QRandomGenerator::global()->bounded(256));
        QByteArray noEnd = "begin\n" + header();
        for (int i = 0; i < 6000; ++i)
            noEnd += digest(i) + '\n';
        const QList<QByteArray> badRequests = {
            "GET / HTTP/1.0\r\n\r\n",          // no begin
            QByteArray(10 * 1024 * 1024, 'a'), // a 10 MB line
            "begin\n" + garbage,               // binary garbage
            noEnd,                             // no end
            "begin\n" + header() + listed,     // stops in the middle
            QByteArray(),                      // sends nothing at all
        };
        std::vector<std::unique_ptr<QTcpSocket>> bad;
        for (const QByteArray &request : badRequests) {
            bad.push_back(std::make_unique<QTcpSocket>());
            QTcpSocket *socket = bad.back().get();
            socket->connectToHost(QHostAddress(QHostAddress::LocalHost), port);
            connect(socket, &QTcpSocket::connected, socket,
                    [socket, request] { socket->write(request); });
        }

        const bool allAnswered = QTest::qWaitFor(
            [&] {
                bool done = true;
                for (Client &client : clients) {
                    client.received += client.socket->readAll();
                    done = done && client.received.size() >= client.expected.size();
                }
                for (auto &socket : bad) {
                    if (socket->isOpen())
                        socket->readAll();
                }
                return done;
            },
            30000);
        QVERIFY(allAnswered);
        for (const Client &client : clients)
            QCOMPARE(client.received, client.expected);

        for (auto &socket : bad)
            QVERIFY(waitForClosed(*socket, 10000));
        for (Client &client : clients)
            client.socket->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 0, 10000);

        // Still serving.
        QCOMPARE(records(exchange(port, registryRequest({listed}), 2)),
                 QList<QByteArray>{listed + " 1700000000 73"});
    }

    void shippedLimitsAreTheDesignedOnes()
    {
        const ServerLimits limits;
        QCOMPARE(limits.maxDigests, 1000000);
        QCOMPARE(limits.maxLineLength, 4096);
        QCOMPARE(limits.idleTimeoutMs, 30000);
        QCOMPARE(Clock::wait(limits.idleTimeoutMs), 30000);
        QCOMPARE(limits.maxConnections, 256);
        QCOMPARE(limits.maxUploadSize, qint64(64) * 1024 * 1024);
        QCOMPARE(limits.requestTimeoutMs, 30000);
        QCOMPARE(Clock::wait(limits.requestTimeoutMs), 30000);
        QCOMPARE(limits.minRequestRate, 64 * 1024);
        QCOMPARE(limits.displaceAfterMs, 1000);
        QCOMPARE(Clock::wait(limits.displaceAfterMs), 1000);
        QCOMPARE(Clock::wait(ConnectionSocket::lingerTimeoutMs), 2000);
    }
};

QTEST_GUILESS_MAIN(TestRegistryService)
#include "tst_registryservice.moc"
