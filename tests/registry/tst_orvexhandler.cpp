#include "fakeplatforminfo.h"
#include "platform/clock.h"
#include "registry/orvexcache.h"
#include "registry/orvexcommunicator.h"
#include "registry/orvexhandler.h"
#include "registry/orvexresponse.h"
#include "registry/uniqueid.h"
#include "registrytestserver.h"
#include "testenvironment.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMutex>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

namespace {
const QString kA = QStringLiteral("0123456789abcdef0123456789abcdef");
const QString kB = QStringLiteral("fedcba9876543210fedcba9876543210");
const QString kC = QStringLiteral("00112233445566778899aabbccddeeff");
const QString kStranger = QStringLiteral("ffffffffffffffffffffffffffffffff");
const quint32 kSeen = 1275400000;
const QString kReconnecting = QStringLiteral("Attempting to reconnect...");

// The network panel's message before an automatic reconnection.
QString reconnecting(const QString &address, const QString &cause, int attempt, int delay)
{
    return QStringLiteral("Attempting to reconnect... %1: %2. Attempt %3 of 6 in %4 s.")
        .arg(address, cause)
        .arg(attempt)
        .arg(delay);
}

QString seenText(quint32 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

QString record(const QString &digest, int rate, quint32 seen = kSeen)
{
    return QStringLiteral("%1|%2|%3").arg(digest).arg(rate).arg(seenText(seen));
}

QString digestNumber(int n)
{
    return QStringLiteral("%1").arg(n, 32, 16, QLatin1Char('0'));
}

// Everything a handler emits, recorded on the emitting thread with the time.
class Recorder
{
public:
    explicit Recorder(OrvexHandler *handler)
    {
        m_clock.start();
        QObject::connect(handler, &OrvexHandler::setOrvexDataPacked, [this](const QString &packed) {
            add(QStringLiteral("packed ") + packed);
        });
        QObject::connect(handler, &OrvexHandler::setOrvexData,
                         [this](const QString &digest, int property, const QVariant &value) {
                             add(QStringLiteral("data %1 %2 %3")
                                     .arg(digest)
                                     .arg(property)
                                     .arg(value.toString()));
                         });
        QObject::connect(handler, &OrvexHandler::digestUnanswered, [this](const QString &digest) {
            add(QStringLiteral("unanswered ") + digest);
        });
        QObject::connect(handler, &OrvexHandler::progressStatus, [this](const QString &status) {
            add(QStringLiteral("status ") + status);
        });
        QObject::connect(handler, &OrvexHandler::progressStep, [this] { add("step"); });
        QObject::connect(handler, &OrvexHandler::connectionMessage, [this](const QString &message) {
            add(QStringLiteral("message ") + message);
        });
        QObject::connect(handler, &OrvexHandler::automaticReconnectFailed,
                         [this] { add("reconnect failed"); });
        QObject::connect(handler, &OrvexHandler::finished, [this] { add("finished"); });
    }

    QStringList events(const QString &prefix = QString()) const
    {
        QMutexLocker locker(&m_mutex);
        QStringList matching;
        for (const QString &event : m_events) {
            if (event.startsWith(prefix))
                matching.append(event.mid(prefix.size()));
        }
        return matching;
    }
    QStringList packed() const { return events("packed "); }
    int count(const QString &event) const { return events().count(event); }
    QList<qint64> times(const QString &event) const
    {
        QMutexLocker locker(&m_mutex);
        QList<qint64> times;
        for (int i = 0; i < m_events.size(); ++i) {
            if (m_events.at(i) == event)
                times.append(m_times.at(i));
        }
        return times;
    }
    // The times of the events that start with the prefix.
    QList<qint64> timesOf(const QString &prefix) const
    {
        QMutexLocker locker(&m_mutex);
        QList<qint64> times;
        for (int i = 0; i < m_events.size(); ++i) {
            if (m_events.at(i).startsWith(prefix))
                times.append(m_times.at(i));
        }
        return times;
    }
    qint64 elapsed() const { return m_clock.elapsed(); }

private:
    void add(const QString &event)
    {
        QMutexLocker locker(&m_mutex);
        m_events.append(event);
        m_times.append(m_clock.elapsed());
    }

    mutable QMutex m_mutex;
    QStringList m_events;
    QList<qint64> m_times;
    QElapsedTimer m_clock;
};
// Every log line, so that a test can wait for a state that only the log shows.
// Lines still reach the test framework's own handler.
class LogWatcher
{
public:
    static void install() { s_previous = qInstallMessageHandler(&LogWatcher::handle); }
    static void clear()
    {
        QMutexLocker locker(&s_mutex);
        s_lines.clear();
    }
    static bool seen(const QString &line)
    {
        QMutexLocker locker(&s_mutex);
        return s_lines.contains(line);
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        {
            QMutexLocker locker(&s_mutex);
            s_lines.append(message);
        }
        if (s_previous)
            s_previous(type, context, message);
    }

    static inline QMutex s_mutex;
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};

// A listener whose accept queue is full and never served: the kernel drops
// further connection requests, so a client's connect stays pending until its
// own time-out.
class StalledListener
{
public:
    // False when this machine completes connections anyway.
    bool start()
    {
        m_server.setListenBacklogSize(0);
        if (!m_server.listen(QHostAddress::LocalHost))
            return false;
        m_server.pauseAccepting();
        for (int i = 0; i < 4; ++i) {
            auto filler = std::make_unique<QTcpSocket>();
            filler->connectToHost(QHostAddress::LocalHost, m_server.serverPort());
            if (!filler->waitForConnected(500))
                return true; // the queue is full: this one was never answered
            m_fillers.push_back(std::move(filler));
        }
        return false;
    }
    QByteArray address() const { return "127.0.0.1:" + QByteArray::number(m_server.serverPort()); }

private:
    QTcpServer m_server;
    std::vector<std::unique_ptr<QTcpSocket>> m_fillers;
};
} // namespace

class TestOrvexHandler : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<RegistryTestServer> m_server;
    std::unique_ptr<OrvexCache> m_cache;
    std::unique_ptr<OrvexHandler> m_handler;
    std::unique_ptr<Recorder> m_recorder;

    void startHandler(const QList<QString> &digests)
    {
        m_handler = std::make_unique<OrvexHandler>(m_cache.get());
        m_recorder = std::make_unique<Recorder>(m_handler.get());
        m_handler->sendQuery(digests);
    }

    bool finishes(int timeoutMs = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (m_recorder->count("finished") == 0 && timer.elapsed() < timeoutMs)
            QTest::qWait(5);
        return m_recorder->count("finished") == 1 && m_handler->wait(timeoutMs);
    }

    void cache(const QString &digest, quint32 seen, int rate)
    {
        auto *response = new OrvexResponse;
        response->setResponse(seen, rate);
        m_cache->insert(digest, response);
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        LogWatcher::install();
    }

    void init()
    {
        LogWatcher::clear();
        Clock::setTestWaitDivisor(20); // passes of 50 ms, read timeout 100 ms
        m_server = std::make_unique<RegistryTestServer>();
        QVERIFY(m_server->listen());
        qputenv("WINORVEX_REGISTRY", m_server->address());
        m_cache = std::make_unique<OrvexCache>();
    }

    void cleanup()
    {
        m_handler.reset();
        m_recorder.reset();
        m_cache.reset();
        m_server.reset();
        qunsetenv("WINORVEX_REGISTRY");
        Clock::resetTestSeam();
    }

    void requestHoldsEveryDigestOnceInOneRequest()
    {
        FakePlatformInfo platform(48, false);
        UniqueId::setInstallationUuid(QUuid("{67c8770b-44f1-410a-ab9a-f9b5446f13ee}"));
        startHandler({kA, kB, kA, kC, kA});
        QVERIFY(finishes());
        QCOMPARE(m_server->requestCount(), 1);
        QCOMPARE(m_server->requests().at(0).raw, "begin\n"
                                                 "4c9e1d7a02b85f36e1a7c04d9b28f5e3\n"
                                                 "a4d19be45371368782bc8bd5cbf7be2b\n"
                                                 "642e92efb79421734881b53e1e1b18b6\n" +
                                                     kA.toLatin1() + '\n' + kB.toLatin1() + '\n' +
                                                     kC.toLatin1() + "\nend\n");
        // A digest listed three times is published once.
        QCOMPARE(m_recorder->packed(),
                 QStringList({record(kA, -1, 0), record(kB, -1, 0), record(kC, -1, 0)}));
        QCOMPARE(m_recorder->count("step"), 3);
    }

    void cachedDigestsAreAnsweredWithoutAConnection()
    {
        cache(kA, kSeen, 12);
        cache(kB, kSeen + 60, -1);
        startHandler({kA, kB});
        QVERIFY(finishes());
        QCOMPARE(m_recorder->packed(), QStringList({record(kA, 12), record(kB, -1, kSeen + 60)}));
        QCOMPARE(m_server->connectionCount(), 0);
    }

    void answersFillTheCacheForTheNextHandler()
    {
        m_server->setAnswer(kA, kSeen, 7);
        startHandler({kA});
        QVERIFY(finishes());
        int rate = 0;
        uint seen = 0;
        QVERIFY(m_cache->response(kA, &seen, &rate));
        QCOMPARE(rate, 7);
        QCOMPARE(seen, kSeen);

        startHandler({kA});
        QVERIFY(finishes());
        QCOMPARE(m_recorder->packed(), QStringList({record(kA, 7)}));
        QCOMPARE(m_server->requestCount(), 1);
    }

    void rates_data()
    {
        QTest::addColumn<int>("rate");
        QTest::newRow("NO_DATA") << -1;
        QTest::newRow("clean") << 0;
        QTest::newRow("12") << 12;
        QTest::newRow("100") << 100;
    }

    void rates()
    {
        QFETCH(int, rate);
        m_server->setAnswer(kA, kSeen, rate);
        startHandler({kA});
        QVERIFY(finishes());
        QCOMPARE(m_recorder->packed(), QStringList({record(kA, rate)}));
    }

    void firstLineIsNeverInterpreted()
    {
        m_server->setFirstLine(kA.toLatin1() + " 1275400000 55");
        m_server->setAnswer(kA, kSeen, 3);
        startHandler({kA});
        QVERIFY(finishes());
        QCOMPARE(m_recorder->packed(), QStringList({record(kA, 3)}));
    }

    void crlfCommentsAndEmptyLines()
    {
        m_server->setLineEnd("\r\n");
        m_server->setLeadingLines({"# registry note", ""});
        m_server->setAnswer(kA, kSeen, 12);
        m_server->setAnswer(kB, kSeen, -1);
        QTest::ignoreMessage(QtDebugMsg, "ORVEX PAYLOAD COMMENT: # registry note");
        startHandler({kA, kB});
        QVERIFY(finishes());
        QCOMPARE(m_recorder->packed(), QStringList({record(kA, 12), record(kB, -1)}));
        QCOMPARE(m_server->requestCount(), 1);
    }

    void rejectedLinesLeaveTheDigestPending_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("warning");

        const QByteArray a = kA.toLatin1();
        const QString parsing = QStringLiteral("ORVEX PAYLOAD PARSING PROBLEM: ");
        const QString rate =
            QStringLiteral("OrvexHandler::processOrvexPayloadLine() couldn't interpret detection "
                           "rate '%1'");
        QTest::newRow("two fields") << a + " 1275400000" << parsing + kA + " 1275400000";
        QTest::newRow("two spaces") << a + "  1275400000 12" << parsing + kA + "  1275400000 12";
        QTest::newRow("four fields") << a + " 1275400000 12 9" << parsing + kA + " 1275400000 12 9";
        QTest::newRow("word rate") << a + " 1275400000 high" << rate.arg("high");
        QTest::newRow("rate with junk") << a + " 1275400000 12x" << rate.arg("12x");
        QTest::newRow("signed rate") << a + " 1275400000 +12" << rate.arg("+12");
        QTest::newRow("empty rate") << a + " 1275400000 " << rate.arg("");
        QTest::newRow("lower-case no data") << a + " 1275400000 no_data" << rate.arg("no_data");
        // Percentages, or -1 for no data: -5 hid a file the engines flag.
        const QString range = QStringLiteral("OrvexHandler::processOrvexPayloadLine() detection "
                                             "rate '%1' is outside -1 to 100");
        QTest::newRow("rate below -1") << a + " 1275400000 -5" << range.arg("-5");
        QTest::newRow("rate above 100") << a + " 1275400000 101" << range.arg("101");
        QTest::newRow("rate 1000") << a + " 1275400000 1000" << range.arg("1000");
    }

    void rejectedLinesLeaveTheDigestPending()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, warning);

        m_server->setAnswer(kA, kSeen, 12);
        m_server->setAnswer(kB, kSeen, 0);
        m_server->setAnswerLine(kA, line);
        m_server->setFaultyAnswers(1); // the next answer is sound
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        startHandler({kA, kB});
        QVERIFY(finishes());
        QCOMPARE(m_server->requestCount(), 2);
        QCOMPARE(m_server->requests().at(1).digests, QList<QByteArray>({kA.toLatin1()}));
        QCOMPARE(m_recorder->packed(), QStringList({record(kB, 0), record(kA, 12)}));
    }

    void recordsNotAskedForAreNotPublished()
    {
        m_server->setLeadingLines({kStranger.toLatin1() + " 1275400000 90"});
        m_server->setAnswerLine(kA, kA.toLatin1() + " 1275400000 12\n" + kA.toLatin1() +
                                        " 1275400000 77");
        const QString notAsked = QStringLiteral("OrvexHandler::processOrvexPayloadLine() got a "
                                                "digest back that it didn't ask for: %1");
        QTest::ignoreMessage(QtWarningMsg, qPrintable(notAsked.arg(kStranger)));
        QTest::ignoreMessage(QtWarningMsg, qPrintable(notAsked.arg(kA))); // already answered
        startHandler({kA});
        QVERIFY(finishes());
        QCOMPARE(m_recorder->packed(), QStringList({record(kA, 12)}));
        QVERIFY(!m_cache->response(kStranger));
        int rate = 0;
        QVERIFY(m_cache->response(kA, nullptr, &rate));
        QCOMPARE(rate, 12);
        QCOMPARE(m_server->requestCount(), 1);
    }

    void aCutLastLineIsNeverParsed()
    {
        // The connection drops after "<kB> 1275400000 1" of "<kB> 1275400000 12":
        // read as it stands, kB would get the rate 1.
        m_server->setAnswer(kA, kSeen, 5);
        m_server->setAnswer(kB, kSeen, 12);
        const QByteArray whole = "ORVEX REGISTRY ANSWER\n" + kA.toLatin1() + " 1275400000 5\n" +
                                 kB.toLatin1() + " 1275400000 12\n";
        m_server->setCloseAfter(whole.size() - 2);
        m_server->setFaultyAnswers(1); // the next answer is whole
        QTest::ignoreMessage(QtWarningMsg, "OrvexHandler::processOrvexPayload() ignoring an "
                                           "unfinished last line of 45 bytes");
        startHandler({kA, kB});
        QVERIFY(finishes());
        QCOMPARE(m_server->requestCount(), 2);
        QCOMPARE(m_recorder->packed(), QStringList({record(kA, 5), record(kB, 12)}));
        QCOMPARE(m_server->requests().at(1).digests, QList<QByteArray>({kB.toLatin1()}));
    }

    void aLargeAnswerInPiecesIsReadWhole()
    {
        Clock::setTestWaitDivisor(2); // read timeout 1 s: pauses stay well below it
        QList<QString> digests;
        for (int i = 0; i < 3000; ++i) {
            digests.append(digestNumber(i));
            m_server->setAnswer(digestNumber(i), kSeen + i, i % 101);
        }
        m_server->setPieces(3000, 15); // pieces above 2 KiB, pauses below the read timeout
        startHandler(digests);
        QVERIFY(finishes(30000));
        QCOMPARE(m_server->requestCount(), 1);
        const QStringList packed = m_recorder->packed();
        QCOMPARE(packed.size(), digests.size());
        for (int i = 0; i < digests.size(); ++i)
            QCOMPARE(packed.at(i), record(digestNumber(i), i % 101, kSeen + i));
    }

    void publishesInTheDesignedOrder()
    {
        m_server->setAnswer(kA, kSeen, 12);
        startHandler({kA});
        QVERIFY(finishes());
        QCOMPARE(m_recorder->events().filter(QRegularExpression("^(?!status )")),
                 QStringList({QStringLiteral("data %1 11 12").arg(kA),
                              QStringLiteral("data %1 10 %2").arg(kA, seenText(kSeen)),
                              QStringLiteral("data %1 7 4").arg(kA),
                              QStringLiteral("packed ") + record(kA, 12), "step", "finished"}));
    }

    void progressTexts()
    {
        m_server->setAnswer(kA, kSeen, 0);
        startHandler({});
        QVERIFY(finishes());
        QCOMPARE(m_server->connectionCount(), 0);

        m_handler = std::make_unique<OrvexHandler>(m_cache.get());
        m_recorder = std::make_unique<Recorder>(m_handler.get());
        QStringList statuses;
        QMutex mutex;
        connect(
            m_handler.get(), &OrvexHandler::progressStatus, m_handler.get(),
            [&](const QString &status) {
                QMutexLocker locker(&mutex);
                statuses.append(status);
            },
            Qt::DirectConnection);
        m_handler->sendQuery(kA);
        QVERIFY(finishes());
        QMutexLocker locker(&mutex);
        QCOMPARE(statuses, QStringList({"Connecting to the malware database...",
                                        "Connected to the malware database.",
                                        "Checking files against the malware database..."}));
    }

    void silenceIsRetriedOnAFreshConnection()
    {
        m_server->setSilent(true);
        m_server->setFaultyAnswers(1);
        m_server->setAnswer(kA, kSeen, 9);
        startHandler({kA});
        QVERIFY(finishes());
        QCOMPARE(m_recorder->packed(), QStringList({record(kA, 9)}));
        QCOMPARE(m_recorder->events("message "),
                 QStringList({reconnecting(QString::fromLatin1(m_server->address()),
                                           "timed out waiting for the answer", 1, 1)}));
        QCOMPARE(m_server->connectionCount(), 2);
    }

    void digestsAddedWhileRunningAreAnswered()
    {
        Clock::setTestWaitDivisor(10); // an answer may take 3 s
        m_server->setAnswer(kA, kSeen, 1);
        m_server->setAnswer(kB, kSeen, 2);
        m_server->setTrickle(20); // holds the first answer open until kB is added
        startHandler({kA});
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requestCount(), 1, 5000);
        m_handler->sendQuery(kB);
        m_server->setTrickle(0);
        QVERIFY(finishes());
        QCOMPARE(m_server->requestCount(), 2);
        QCOMPARE(m_recorder->packed(), QStringList({record(kA, 1), record(kB, 2)}));
        QCOMPARE(m_server->requests().at(1).digests, QList<QByteArray>({kB.toLatin1()}));
    }

    void digestsAddedAroundTheEndOfARunAreNeverLost()
    {
        // Runs answered from the cache end every few milliseconds; digests sent
        // at every moment of a run must all be answered, each once.
        Clock::setTestWaitDivisor(1000);
        const int count = 300;
        for (int i = 0; i < count; ++i)
            cache(digestNumber(i), kSeen, i % 100);
        m_handler = std::make_unique<OrvexHandler>(m_cache.get());
        m_recorder = std::make_unique<Recorder>(m_handler.get());
        for (int i = 0; i < count; ++i) {
            m_handler->sendQuery(digestNumber(i));
            QThread::usleep(QRandomGenerator::global()->bounded(1500));
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->packed().size(), count, 10000);
        QVERIFY(m_handler->wait(5000));
        QStringList packed = m_recorder->packed();
        packed.sort();
        for (int i = 0; i < count; ++i)
            QCOMPARE(packed.at(i), record(digestNumber(i), i % 100));
        QCOMPARE(m_server->connectionCount(), 0);
    }

    void reconnectionScheduleThenTheUsersRetry()
    {
        QVERIFY(m_server->setRefusing(true));
        m_server->setAnswer(kA, kSeen, 4);
        const QString address = QString::fromLatin1(m_server->address());
        startHandler({kA});
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->count("reconnect failed"), 1, 15000);

        // Each message names the registry, the error and the attempt, and
        // announces the doubling delay.
        const QList<int> delays = {1, 2, 4, 8, 16, 32};
        QStringList expectedMessages;
        for (int i = 0; i < delays.size(); ++i)
            expectedMessages.append(
                reconnecting(address, "connection refused", i + 1, delays.at(i)));
        QCOMPARE(m_recorder->events("message "), expectedMessages);

        // Each attempt: the delay, then the loop's one-second pass, then the
        // refused connection and the next message (all divided by 20).
        const QList<qint64> attempts = m_recorder->timesOf("message " + kReconnecting);
        QCOMPARE(attempts.size(), 6);
        const qint64 failedAt = m_recorder->times("reconnect failed").at(0);
        QList<qint64> gaps;
        for (int i = 1; i < attempts.size(); ++i)
            gaps.append(attempts.at(i) - attempts.at(i - 1));
        gaps.append(failedAt - attempts.last());
        for (int i = 0; i < delays.size(); ++i) {
            const qint64 expected = (delays.at(i) + 1) * 1000 / 20;
            QVERIFY2(gaps.at(i) >= expected - 5,
                     qPrintable(QStringLiteral("gap %1: %2 ms, designed %3 ms")
                                    .arg(i)
                                    .arg(gaps.at(i))
                                    .arg(expected)));
        }

        // The handler now waits for the user, and only for the user.
        QTest::qWait(400);
        QCOMPARE(m_recorder->count("reconnect failed"), 1);
        QCOMPARE(m_recorder->events("message ").size(), 6);
        QCOMPARE(m_recorder->count("finished"), 0);

        QVERIFY(m_server->setRefusing(false));
        const qint64 retriedAt = m_recorder->elapsed();
        m_handler->userRequestReconnect();
        QVERIFY(finishes());
        const QList<qint64> after = m_recorder->timesOf("message " + kReconnecting);
        QCOMPARE(after.size(), 7);
        // The retry is seen within a second, and restarts the count.
        QVERIFY2(after.last() - retriedAt < 1000,
                 qPrintable(QString::number(after.last() - retriedAt)));
        QCOMPARE(m_recorder->events("message ").last(),
                 reconnecting(address, "connection refused", 1, 1));
        QCOMPARE(m_server->connectionCount(), 1);
        const qint64 connectedAfter = m_recorder->times("packed " + record(kA, 4)).value(0, -1);
        // Restarted at a one-second delay, then one pass.
        QVERIFY2(connectedAfter - after.last() >= 2 * 1000 / 20 - 5,
                 qPrintable(QString::number(connectedAfter - after.last())));
        QCOMPARE(m_recorder->packed(), QStringList({record(kA, 4)}));
        QCOMPARE(m_recorder->count("reconnect failed"), 1);
    }

    // A digest that answers never carry acceptably is asked three times, then
    // given up as one that cannot be checked, and the handler finishes.
    void unansweredDigestIsGivenUpAfterThreeAnswers_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QByteArray>("line"); // kA's line, for the fault "line"

        const QByteArray a = kA.toLatin1();
        QTest::newRow("final line end left off") << "no final line end" << QByteArray();
        QTest::newRow("left out") << "line" << QByteArray("");
        QTest::newRow("echoed in capitals") << "line" << a.toUpper() + " 1275400000 12";
        QTest::newRow("two fields") << "line" << a + " 1275400000";
        QTest::newRow("rate below -1") << "line" << a + " 1275400000 -5";
        QTest::newRow("rate above 100") << "line" << a + " 1275400000 1000";
        QTest::newRow("cut inside its record") << "cut" << QByteArray();
    }

    void unansweredDigestIsGivenUpAfterThreeAnswers()
    {
        QFETCH(QString, fault);
        QFETCH(QByteArray, line);

        m_server->setAnswer(kA, kSeen, 42);
        m_server->setAnswer(kB, kSeen, 0);
        if (fault == QLatin1String("line"))
            m_server->setAnswerLine(kA, line);
        else if (fault == QLatin1String("cut"))
            m_server->setCutInRecord(kA);
        else
            m_server->setLastLineEndOmitted(true);
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("OrvexHandler::queryOrvex() 3 answers in a "
                                                       "row held no record for digest '%1'; "
                                                       "unable to check it")
                                            .arg(kA)));
        startHandler({kB, kA}); // kA's record comes last
        QVERIFY(finishes());

        QCOMPARE(m_server->requestCount(), 3);
        const QList<RegistryTestServer::Request> requests = m_server->requests();
        QCOMPARE(requests.at(0).digests, QList<QByteArray>({kB.toLatin1(), kA.toLatin1()}));
        QCOMPARE(requests.at(1).digests, QList<QByteArray>({kA.toLatin1()}));
        QCOMPARE(requests.at(2).digests, QList<QByteArray>({kA.toLatin1()}));
        QStringList outcome = m_recorder->events();
        outcome = outcome.filter(QRegularExpression("^(packed|unanswered|finished)"));
        QCOMPARE(outcome, QStringList({"packed " + record(kB, 0), "unanswered " + kA, "finished"}));
        QCOMPARE(m_recorder->count("step"), 2);
        QVERIFY(!m_cache->response(kA));
        QVERIFY(m_cache->response(kB));
    }

    // A server that sends a byte now and then keeps an answer open for as long as
    // it likes: past the deadline the query has failed and the reconnection follows.
    void aTrickledAnswerEndsAtItsDeadline()
    {
        Clock::setTestWaitDivisor(10); // deadline 3 s, read timeout 200 ms
        m_server->setAnswer(kA, kSeen, 66);
        m_server->setTrickle(20); // far more often than the read timeout
        m_server->setFaultyAnswers(1);
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression("^OrvexCommunicator::readServer\\(\\) the answer is "
                                             "still arriving after \\d+ ms"));
        startHandler({kA});
        QVERIFY(finishes(30000));

        const QString message = reconnecting(QString::fromLatin1(m_server->address()),
                                             "the answer took too long", 1, 1);
        QCOMPARE(m_recorder->events("message "), QStringList({message}));
        const qint64 asked =
            m_recorder->times("status Checking files against the malware database...").value(0);
        const qint64 gaveUp = m_recorder->times("message " + message).value(0);
        QVERIFY2(gaveUp - asked >= Clock::wait(OrvexCommunicator::answerDeadline) - 5,
                 qPrintable(QString::number(gaveUp - asked)));
        QCOMPARE(m_recorder->packed(), QStringList({record(kA, 66)}));
        QCOMPARE(m_server->connectionCount(), 2);
    }

    // With the designed waits, each up to half a minute, a stop still ends the
    // handler within a second.
    void stopIsHonouredInEveryWait_data()
    {
        QTest::addColumn<QString>("wait");
        QTest::newRow("connecting (30 s)") << "connecting";
        QTest::newRow("first bytes of the answer (10 s)") << "answer";
        QTest::newRow("tail read of a trickled answer (30 s)") << "tail";
        QTest::newRow("reconnection delay and pass (2 s)") << "delay";
    }

    void stopIsHonouredInEveryWait()
    {
        QFETCH(QString, wait);
        Clock::resetTestSeam();
        StalledListener stalled;
        if (wait == QLatin1String("connecting")) {
            if (!stalled.start())
                QSKIP("this machine completes connections beyond a full accept queue");
            qputenv("WINORVEX_REGISTRY", stalled.address());
        } else if (wait == QLatin1String("answer")) {
            m_server->setSilent(true);
        } else if (wait == QLatin1String("tail")) {
            m_server->setTrickle(200); // never silent for the 2 s read timeout
        } else {
            QVERIFY(m_server->setRefusing(true));
        }
        startHandler({kA});

        // The handler is in the wait, or about to enter it.
        if (wait == QLatin1String("connecting"))
            QTRY_VERIFY_WITH_TIMEOUT(LogWatcher::seen("OrvexCommunicator::connectToOrvex() called"),
                                     10000);
        else if (wait == QLatin1String("answer"))
            QTRY_VERIFY_WITH_TIMEOUT(m_server->requestCount() >= 1, 10000);
        else if (wait == QLatin1String("tail"))
            QTRY_VERIFY_WITH_TIMEOUT(LogWatcher::seen("OrvexCommunicator::readServer() called"),
                                     10000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(!m_recorder->events("message ").isEmpty(), 10000);

        QElapsedTimer stopping;
        stopping.start();
        m_handler->userRequestStop();
        QVERIFY(m_handler->wait(60000));
        QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(m_recorder->count("finished"), 1);
        QCOMPARE(m_recorder->packed(), QStringList());
        QCOMPARE(m_recorder->events("unanswered "), QStringList());
    }

    // The network panel's message says where the registry was sought, what went
    // wrong and which automatic attempt comes next.
    void connectionMessagesSayWhereAndWhy_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("cause");
        QTest::newRow("refused") << "refused"
                                 << "connection refused";
        QTest::newRow("not found") << "not found"
                                   << "host not found";
        QTest::newRow("no answer") << "silent"
                                   << "timed out waiting for the answer";
        QTest::newRow("connect timed out") << "stalled"
                                           << "timed out";
    }

    void connectionMessagesSayWhereAndWhy()
    {
        QFETCH(QString, situation);
        QFETCH(QString, cause);

        QByteArray address = m_server->address();
        StalledListener stalled;
        if (situation == QLatin1String("refused")) {
            QVERIFY(m_server->setRefusing(true));
        } else if (situation == QLatin1String("not found")) {
            address = "nonexistent.invalid:43";
        } else if (situation == QLatin1String("silent")) {
            m_server->setSilent(true);
        } else {
            if (!stalled.start())
                QSKIP("this machine completes connections beyond a full accept queue");
            address = stalled.address();
        }
        qputenv("WINORVEX_REGISTRY", address);
        startHandler({kA});
        QTRY_VERIFY_WITH_TIMEOUT(!m_recorder->events("message ").isEmpty(), 20000);
        QCOMPARE(m_recorder->events("message ").first(),
                 reconnecting(QString::fromLatin1(address), cause, 1, 1));
        m_handler->userRequestStop();
        QVERIFY(finishes());
    }

    void stopEndsTheWaitForTheUser_data()
    {
        QTest::addColumn<bool>("deleteInstead");
        QTest::newRow("stop") << false;
        QTest::newRow("delete") << true;
    }

    void stopEndsTheWaitForTheUser()
    {
        QFETCH(bool, deleteInstead);
        Clock::setTestWaitDivisor(200);
        QVERIFY(m_server->setRefusing(true));
        startHandler({kA});
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->count("reconnect failed"), 1, 10000);
        QElapsedTimer timer;
        timer.start();
        if (deleteInstead) {
            m_handler.reset();
        } else {
            m_handler->userRequestStop();
            QVERIFY(finishes(2000));
        }
        QVERIFY(timer.elapsed() < 1000);
        QCOMPARE(m_recorder->packed(), QStringList());
        QCOMPARE(m_recorder->count("reconnect failed"), 1);
    }

    void stopEndsARunningLoop()
    {
        m_server->setSilent(true);
        startHandler({kA});
        QTRY_VERIFY_WITH_TIMEOUT(m_server->requestCount() >= 1, 5000);
        m_handler->userRequestStop();
        QVERIFY(finishes(5000));
        QCOMPARE(m_recorder->packed(), QStringList());

        // A stopped handler can be started again.
        m_server->setSilent(false);
        m_handler->sendQuery(kB);
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->packed(), QStringList({record(kB, -1, 0)}), 5000);
        QVERIFY(m_handler->wait(5000));
    }

    void aStartedHandlerDeletesItselfWhenDone()
    {
        m_server->setAnswer(kA, kSeen, 0);
        QPointer<OrvexHandler> handler = new OrvexHandler(m_cache.get());
        connect(handler, &QThread::finished, handler, &QObject::deleteLater);
        QStringList packed;
        connect(handler, &OrvexHandler::setOrvexDataPacked, this,
                [&packed](const QString &record) { packed.append(record); });
        handler->sendQuery(QList<QString>{kA});
        QTRY_VERIFY_WITH_TIMEOUT(handler.isNull(), 10000);
        QCOMPARE(packed, QStringList({record(kA, 0)}));
    }

    void fiveHandlersShareOneCache()
    {
        // Waits divided by 4 only: under the sanitizers the server needs its time.
        Clock::setTestWaitDivisor(4);
        const int perHandler = 10000;
        const int handlers = 5;
        for (int i = 0; i < perHandler * 3; ++i)
            m_server->setAnswer(digestNumber(i), kSeen + i, i % 101);

        std::vector<std::unique_ptr<Recorder>> recorders;
        std::vector<std::unique_ptr<OrvexHandler>> running; // stopped before the recorders go
        std::vector<QList<QString>> asked;
        for (int h = 0; h < handlers; ++h) {
            // Each list overlaps its neighbours' and holds repeats.
            QList<QString> digests;
            for (int i = 0; i < perHandler; ++i)
                digests.append(digestNumber(h * perHandler / 2 + i));
            for (int i = 0; i < 500; ++i)
                digests.append(digestNumber(h * perHandler / 2 + i * 7));
            asked.push_back(digests);
            running.push_back(std::make_unique<OrvexHandler>(m_cache.get()));
            recorders.push_back(std::make_unique<Recorder>(running.back().get()));
        }
        for (int h = 0; h < handlers; ++h)
            running.at(h)->sendQuery(asked.at(h));

        for (int h = 0; h < handlers; ++h) {
            QVERIFY(running.at(h)->wait(60000));
            QTRY_COMPARE_WITH_TIMEOUT(recorders.at(h)->count("finished"), 1, 5000);
            QStringList packed = recorders.at(h)->packed();
            QCOMPARE(packed.size(), perHandler);
            packed.sort();
            for (int i = 0; i < perHandler; ++i) {
                const int n = h * perHandler / 2 + i;
                QCOMPARE(packed.at(i), record(digestNumber(n), n % 101, kSeen + n));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestOrvexHandler)
#include "tst_orvexhandler.moc"
