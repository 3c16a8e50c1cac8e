#include "server/referenceserver.h"
#include "server/registryservice.h"
#include "server/reportservice.h"
#include "server/updateservice.h"
#include "server/uploadservice.h"
#include "servertestclient.h"
#include "testenvironment.h"

#include <QCryptographicHash>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

using namespace ServerTestClient;

namespace {

const QByteArray first = QByteArrayLiteral("d41d8cd98f00b204e9800998ecf8427e");
const QByteArray second = QByteArrayLiteral("0123456789abcdef0123456789abcdef");

const QByteArray offer = QByteArrayLiteral("0.3\nhttps://x.invalid/\nnotes\n");
const QByteArray updateRequest =
    "0.1|" + ServerTestClient::digest(1) + '|' + ServerTestClient::digest(2) + '\n';
const QByteArray report = "0f1e2d3c4b5a69788796a5b4c3d2e1f0|" + first +
                          "|da39a3ee5e6b4b0d3255bfef95601890afd80709|/home/ann/setup.bin|wrong";

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

// The winorvex-server executable as a child process, with its output collected.
class ServerProcess
{
public:
    explicit ServerProcess(const QStringList &arguments)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { m_stderr += m_process.readAllStandardError(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_stdout += m_process.readAllStandardOutput(); });
        m_process.start(QStringLiteral(WINORVEX_SERVER_EXECUTABLE), arguments);
    }
    ~ServerProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Waits for "<service> listening on <address>:<port>" and returns the port.
    quint16 port(const QString &service)
    {
        const QRegularExpression line(
            QStringLiteral("^%1 listening on 127\\.0\\.0\\.1:(\\d+)$").arg(service),
            QRegularExpression::MultilineOption);
        QRegularExpressionMatch match;
        [[maybe_unused]] const bool seen = QTest::qWaitFor(
            [&] {
                match = line.match(QString::fromUtf8(m_stdout));
                return match.hasMatch() || m_process.state() == QProcess::NotRunning;
            },
            10000);
        return match.hasMatch() ? match.captured(1).toUShort() : 0;
    }
    // Waits until stderr holds the text after position `from`.
    bool waitForError(const QString &text, qsizetype from = 0)
    {
        return QTest::qWaitFor([&] { return QString::fromUtf8(m_stderr.mid(from)).contains(text); },
                               10000);
    }
    void signal(int number) { ::kill(static_cast<pid_t>(m_process.processId()), number); }
    bool waitForExit()
    {
        return QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, 10000);
    }

    QProcess &process() { return m_process; }
    QByteArray standardOutput() const { return m_stdout; }
    QByteArray standardError() const { return m_stderr; }

private:
    QProcess m_process;
    QByteArray m_stdout;
    QByteArray m_stderr;
};

} // namespace

class TestReferenceServer : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

    QString path(const char *name) const { return m_dir->filePath(QString::fromLatin1(name)); }

    static TcpService *service(const ReferenceServer &server, const QString &name)
    {
        if (name == QLatin1String("update"))
            return server.update();
        if (name == QLatin1String("report"))
            return server.report();
        if (name == QLatin1String("upload"))
            return server.upload();
        return server.registry();
    }

    // Everything stored by the report and upload services.
    QByteArray reports() const
    {
        QFile file(path("reports.txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QStringList uploads() const
    {
        return QDir(path("uploads")).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }

    // Clients that send one byte of payload after another, every interval,
    // and never complete a request.
    class Tricklers
    {
    public:
        Tricklers(int count, quint16 port, const QByteArray &payload, int intervalMs)
            : m_payload(payload)
        {
            for (int i = 0; i < count; ++i) {
                m_sockets.push_back(std::make_unique<QTcpSocket>());
                m_sockets.back()->connectToHost(QHostAddress(QHostAddress::LocalHost), port);
            }
            m_timer.setTimerType(Qt::PreciseTimer);
            m_timer.setInterval(intervalMs);
            QObject::connect(&m_timer, &QTimer::timeout, [this] { drip(); });
        }
        bool start()
        {
            for (auto &socket : m_sockets) {
                if (!QTest::qWaitFor(
                        [&] { return socket->state() == QAbstractSocket::ConnectedState; }, 5000))
                    return false;
            }
            drip();
            m_timer.start();
            return true;
        }
        void drip()
        {
            for (auto &socket : m_sockets) {
                if (socket->state() == QAbstractSocket::ConnectedState)
                    socket->write(m_payload.mid(m_sent % m_payload.size(), 1));
            }
            ++m_sent;
        }
        // How many the server has closed; what they received goes to answers.
        int closedCount()
        {
            int closed = 0;
            for (auto &socket : m_sockets) {
                if (socket->isOpen())
                    m_received += socket->readAll();
                closed += socket->state() == QAbstractSocket::UnconnectedState;
            }
            return closed;
        }
        int count() const { return static_cast<int>(m_sockets.size()); }
        QByteArray received() const { return m_received; }

    private:
        std::vector<std::unique_ptr<QTcpSocket>> m_sockets;
        QByteArray m_payload;
        QByteArray m_received;
        QTimer m_timer;
        qsizetype m_sent = 0;
    };

    static void addServiceRows()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("trickle"); // what a slow client sends
        QTest::newRow("registry") << "registry" << QByteArray("begin\n" + header());
        // A version long enough that its line is far from complete at the deadline.
        QTest::newRow("update") << "update"
                                << "0.1" + QByteArray(400, '.') + updateRequest.mid(3);
        QTest::newRow("report") << "report" << report;
        QTest::newRow("upload") << "upload" << QByteArray(4096, 'u');
    }

    // One whole exchange of a well-behaved client with the service.
    void checkServed(const ReferenceServer &server, const QString &name)
    {
        const quint16 port = service(server, name)->serverPort();
        if (name == QLatin1String("registry")) {
            QCOMPARE(records(exchange(port, registryRequest({first, second}), 3)),
                     (QList<QByteArray>{first + " 1700000000 80", second + " 0 NO_DATA"}));
        } else if (name == QLatin1String("update")) {
            QTcpSocket socket;
            QVERIFY(connectTo(socket, port));
            socket.write(updateRequest);
            QCOMPARE(readUntilClosed(socket), offer);
        } else if (name == QLatin1String("report")) {
            QVERIFY(sendAndClose(port, report));
            QTRY_COMPARE_WITH_TIMEOUT(reports(), report + '\n', 5000);
        } else {
            QVERIFY(sendAndClose(port, "MZ upload"));
            QTRY_COMPARE_WITH_TIMEOUT(
                uploads(),
                QStringList{QString::fromLatin1(
                    QCryptographicHash::hash("MZ upload", QCryptographicHash::Sha256).toHex())},
                5000);
        }
    }

    ServerOptions allServices() const
    {
        ServerOptions options;
        options.registryPort = 0;
        options.hashListPath = path("list.txt");
        options.updatePort = 0;
        options.updateOfferPath = path("offer.txt");
        options.reportPort = 0;
        options.reportFilePath = path("reports.txt");
        options.uploadPort = 0;
        options.uploadDir = path("uploads");
        return options;
    }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(writeFile(path("list.txt"), first + " 80 1700000000\n"));
        QVERIFY(writeFile(path("offer.txt"), "0.3\nhttps://x.invalid/\nnotes\n"));
    }
    void cleanup() { m_dir.reset(); }

    void startsEveryServiceAskedFor()
    {
        ReferenceServer server(allServices());
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        const QStringList lines = server.listeningLines();
        QCOMPARE(lines.size(), 4);
        const QStringList names{"registry", "update", "report", "upload"};
        for (int i = 0; i < 4; ++i) {
            const QRegularExpression pattern(
                QStringLiteral("^%1 listening on 127\\.0\\.0\\.1:(\\d+)$").arg(names[i]));
            const QRegularExpressionMatch match = pattern.match(lines[i]);
            QVERIFY2(match.hasMatch(), qPrintable(lines[i]));
            QTcpSocket socket;
            QVERIFY(connectTo(socket, match.captured(1).toUShort()));
        }
        QVERIFY(QFileInfo(path("uploads")).isDir());
        QVERIFY(QFileInfo::exists(path("reports.txt")));
    }

    void refusesToStartWithoutItsFiles_data()
    {
        QTest::addColumn<QString>("broken");
        QTest::addColumn<QString>("reason");
        QTest::newRow("hash list") << "list.txt"
                                   << "cannot read";
        QTest::newRow("update offer") << "offer.txt"
                                      << "cannot read";
    }
    void refusesToStartWithoutItsFiles()
    {
        QFETCH(QString, broken);
        QFETCH(QString, reason);
        QVERIFY(QFile::remove(m_dir->filePath(broken)));
        ReferenceServer server(allServices());
        QString error;
        QVERIFY(!server.start(&error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        QVERIFY(server.listeningLines().isEmpty());
    }

    void refusesAPortInUse()
    {
        QTcpServer occupier;
        QVERIFY(occupier.listen(QHostAddress(QHostAddress::LocalHost), 0));
        ServerOptions options = allServices();
        options.reportPort = occupier.serverPort();
        ReferenceServer server(options);
        QString error;
        QVERIFY(!server.start(&error));
        QVERIFY2(error.startsWith(QStringLiteral("report cannot listen")), qPrintable(error));
        QVERIFY(!server.registry());
    }

    void reloadSwapsTheListOrKeepsItWhole()
    {
        ServerOptions options = allServices();
        ReferenceServer server(options);
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        const quint16 port = server.registry()->serverPort();
        QSignalSpy reloaded(&server, &ReferenceServer::reloaded);

        QVERIFY(writeFile(path("list.txt"), first + " 10 5\n" + second + " 20 6\n"));
        server.reload();
        QCOMPARE(reloaded.takeFirst().at(0).toBool(), true);
        QCOMPARE(records(exchange(port, registryRequest({first, second}), 3)),
                 (QList<QByteArray>{first + " 5 10", second + " 6 20"}));

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("\\(skipped\\)$")));
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral("has no usable line; keeping the hash list in use")));
        QVERIFY(writeFile(path("list.txt"), "garbage\n"));
        server.reload();
        QCOMPARE(reloaded.takeFirst().at(0).toBool(), false);
        QCOMPARE(records(exchange(port, registryRequest({first, second}), 3)),
                 (QList<QByteArray>{first + " 5 10", second + " 6 20"}));
    }

    void reloadRefusesListsThatWouldSwitchDetectionOff_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("acceptEmpty"); // --accept-empty-hash-list
        QTest::addColumn<QString>("refusal");  // empty: the list is taken
        QTest::newRow("empty file") << QByteArray() << false << "lists no digest";
        QTest::newRow("comments only")
            << QByteArray("# none yet\n\n") << false << "lists no digest";
        QTest::newRow("last line cut")
            << first + " 10 5\n" + second + " 2" << false << "no line end";
        QTest::newRow("cut comment") << QByteArray("# none") << false << "no line end";
        QTest::newRow("cut, even with the option") << QByteArray("# none") << true << "no line end";
        QTest::newRow("empty, with the option") << QByteArray() << true << QString();
        QTest::newRow("a new list") << first + " 10 5\n" + second + " 20 6\n" << false << QString();
    }
    void reloadRefusesListsThatWouldSwitchDetectionOff()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, acceptEmpty);
        QFETCH(QString, refusal);
        ServerOptions options = allServices();
        options.acceptEmptyHashList = acceptEmpty;
        ReferenceServer server(options);
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        const quint16 port = server.registry()->serverPort();
        const QList<QByteArray> before{first + " 1700000000 80", second + " 0 NO_DATA"};
        QCOMPARE(records(exchange(port, registryRequest({first, second}), 3)), before);

        QSignalSpy reloaded(&server, &ReferenceServer::reloaded);
        QVERIFY(writeFile(path("list.txt"), content));
        if (!refusal.isEmpty()) {
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QRegularExpression::escape(refusal) +
                                                    QStringLiteral(".*; keeping the hash list")));
        } else if (!content.contains(' ')) {
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("lists no digest: every digest "
                                                                   "answers NO_DATA$")));
        }
        server.reload();
        QCOMPARE(reloaded.size(), 1);
        QCOMPARE(reloaded.takeFirst().at(0).toBool(), refusal.isEmpty());

        const QList<QByteArray> answer =
            records(exchange(port, registryRequest({first, second}), 3));
        if (!refusal.isEmpty())
            QCOMPARE(answer, before);
        else if (content.isEmpty())
            QCOMPARE(answer, (QList<QByteArray>{first + " 0 NO_DATA", second + " 0 NO_DATA"}));
        else
            QCOMPARE(answer, (QList<QByteArray>{first + " 5 10", second + " 6 20"}));
    }

    void trickleFeedingClientsAreClosedAtTheRequestDeadline_data() { addServiceRows(); }
    void trickleFeedingClientsAreClosedAtTheRequestDeadline()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, trickle);
        ServerOptions options = allServices();
        options.limits.requestTimeoutMs = 500;
        options.limits.idleTimeoutMs = 60000; // a byte every 20 ms is never idle anyway
        ReferenceServer server(options);
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        TcpService *target = service(server, name);

        Tricklers tricklers(4, target->serverPort(), trickle, 20);
        for (int i = 0; i < tricklers.count(); ++i) {
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral(
                                     "request not complete \\d+ ms after its first byte")));
        }
        QElapsedTimer timer;
        timer.start();
        QVERIFY(tricklers.start());
        QVERIFY(
            QTest::qWaitFor([&] { return tricklers.closedCount() == tricklers.count(); }, 10000));
        // Closed at the deadline, counted from the first byte the server saw.
        QVERIFY2(timer.elapsed() >= 450, qPrintable(QString::number(timer.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(target->connectionCount(), 0, 5000);
        QCOMPARE(tricklers.received(), QByteArray());
        QCOMPARE(reports(), QByteArray());
        QCOMPARE(uploads(), QStringList());

        // The service is free for clients that complete their requests.
        checkServed(server, name);
    }

    void aNewClientDisplacesTheSlowestConnection_data() { addServiceRows(); }
    void aNewClientDisplacesTheSlowestConnection()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, trickle);
        ServerOptions options = allServices();
        options.limits.maxConnections = 5;
        options.limits.displaceAfterMs = 0;
        ReferenceServer server(options);
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        TcpService *target = service(server, name);

        // Every place taken by a client that never completes a request.
        Tricklers tricklers(5, target->serverPort(), trickle, 50);
        QVERIFY(tricklers.start());
        QTRY_COMPARE_WITH_TIMEOUT(target->connectionCount(), 5, 5000);

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                               "all 5 places taken .* takes its place; closing$")));
        checkServed(server, name);
        if (QTest::currentTestFailed())
            return;
        // One of them made room; the others are still connected.
        QVERIFY(QTest::qWaitFor([&] { return tricklers.closedCount() == 1; }, 5000));
        QCOMPARE(tricklers.closedCount(), 1);
    }

    void halfClosedClientsGetTheWholeAnswer_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("repeats");
        const QByteArray header = RegistryService::answerHeader();
        const QByteArray records = header + first + " 1700000000 80\n" + second + " 0 NO_DATA\n";
        QTest::newRow("registry") << "registry" << registryRequest({first, second}) << records
                                  << 100;
        QTest::newRow("registry, two requests at once")
            << "registry" << registryRequest({first, second}) + registryRequest({first, second})
            << records + records << 30;
        QList<QByteArray> many;
        QByteArray manyRecords = header;
        for (int i = 0; i < 200000; ++i) {
            many.append(digest(i));
            manyRecords += digest(i) + " 0 NO_DATA\n";
        }
        QTest::newRow("registry, an answer larger than the socket buffers")
            << "registry" << registryRequest(many) << manyRecords << 1;
        QTest::newRow("update") << "update" << updateRequest << offer << 100;
    }
    void halfClosedClientsGetTheWholeAnswer()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, expected);
        QFETCH(int, repeats);
        ReferenceServer server(allServices());
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        const quint16 port = service(server, name)->serverPort();
        for (int i = 0; i < repeats; ++i) {
            QTcpSocket socket;
            QVERIFY(connectTo(socket, port));
            socket.write(request);
            QVERIFY(QTest::qWaitFor([&] { return socket.bytesToWrite() == 0; }, 10000));
            QVERIFY(shutdownSending(socket));
            const QByteArray answer = readUntilClosed(socket, 20000);
            QVERIFY2(answer == expected, qPrintable(QStringLiteral("try %1: %2 of %3 bytes")
                                                        .arg(i)
                                                        .arg(answer.size())
                                                        .arg(expected.size())));
        }
        QTRY_COMPARE_WITH_TIMEOUT(service(server, name)->connectionCount(), 0, 5000);
    }

    void aResetConnectionStoresNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("report") << "report" << report;
        QTest::newRow("upload") << "upload" << QByteArray(300000, 'u');
    }
    void aResetConnectionStoresNothing()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, data);
        ReferenceServer server(allServices());
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        TcpService *target = service(server, name);

        QTcpSocket socket;
        QVERIFY(connectTo(socket, target->serverPort()));
        socket.write(data);
        // Every byte is with the server before the client resets the connection.
        QTRY_COMPARE_WITH_TIMEOUT(target->bytesReceived(), qint64(data.size()), 10000);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("connection reset .* after %1 "
                                                               "bytes; %2 discarded$")
                                                    .arg(data.size())
                                                    .arg(name)));
        QVERIFY(resetOnClose(socket));
        socket.abort();
        QTRY_COMPARE_WITH_TIMEOUT(target->connectionCount(), 0, 5000);
        QCOMPARE(reports(), QByteArray());
        QCOMPARE(uploads(), QStringList());

        // The same bytes ended in an orderly way are stored.
        QVERIFY(sendAndClose(target->serverPort(), data));
        QTRY_COMPARE_WITH_TIMEOUT(reports().size() + uploads().size() > 0, true, 5000);
    }

    void executableServesAndReloadsOnHangup()
    {
        ServerProcess server({"--registry-port", "0", "--hash-list", path("list.txt")});
        const quint16 port = server.port(QStringLiteral("registry"));
        QVERIFY2(port != 0, server.standardError().constData());
        QCOMPARE(records(exchange(port, registryRequest({first, second}), 3)),
                 (QList<QByteArray>{first + " 1700000000 80", second + " 0 NO_DATA"}));

        // A new list is used after SIGHUP.
        qsizetype from = server.standardError().size();
        QVERIFY(writeFile(path("list.txt"), first + " 0 1\n" + second + " 66 2\n"));
        server.signal(SIGHUP);
        QVERIFY(server.waitForError(QStringLiteral("loaded 2 digests"), from));
        QCOMPARE(records(exchange(port, registryRequest({first, second}), 3)),
                 (QList<QByteArray>{first + " 1 0", second + " 2 66"}));

        // A broken list, then a missing one, keep the list in use.
        from = server.standardError().size();
        QVERIFY(writeFile(path("list.txt"), QByteArray("\x7f"
                                                       "ELF\x02\x01\0\0",
                                                       8)));
        server.signal(SIGHUP);
        QVERIFY(server.waitForError(QStringLiteral("not a text file; keeping the hash list in use"),
                                    from));
        QVERIFY(QFile::remove(path("list.txt")));
        server.signal(SIGHUP);
        QVERIFY(server.waitForError(QStringLiteral("cannot read"), from));
        QCOMPARE(records(exchange(port, registryRequest({first, second}), 3)),
                 (QList<QByteArray>{first + " 1 0", second + " 2 66"}));

        // SIGTERM ends it cleanly.
        server.signal(SIGTERM);
        QVERIFY(server.waitForExit());
        QCOMPARE(server.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process().exitCode(), 0);
    }

    void executableClosesBadClientsAndGoesOn()
    {
        ServerProcess server({"--registry-port", "0", "--hash-list", path("list.txt"),
                              "--idle-timeout", "1.5", "--max-digests", "100"});
        const quint16 port = server.port(QStringLiteral("registry"));
        QVERIFY(port != 0);

        QElapsedTimer timer;
        timer.start();
        QTcpSocket silent;
        QTcpSocket noBegin;
        QTcpSocket noEnd;
        QTcpSocket hugeLine;
        QTcpSocket garbage;
        for (QTcpSocket *socket : {&silent, &noBegin, &noEnd, &hugeLine, &garbage})
            QVERIFY(connectTo(*socket, port));
        noBegin.write(first + '\n');
        QByteArray longRequest = "begin\n" + header();
        for (int i = 0; i < 101; ++i)
            longRequest += digest(i) + '\n';
        noEnd.write(longRequest);
        hugeLine.write(QByteArray(10 * 1024 * 1024, 'z'));
        garbage.write(QByteArray("\0\xff\xfe\x01\n", 5));

        for (QTcpSocket *socket : {&noBegin, &noEnd, &hugeLine, &garbage, &silent})
            QVERIFY(waitForClosed(*socket, 10000));
        QVERIFY(timer.elapsed() >= 1400); // the silent one waited for the idle limit
        QCOMPARE(records(exchange(port, registryRequest({first}), 2)),
                 QList<QByteArray>{first + " 1700000000 80"});

        const QString log = QString::fromUtf8(server.standardError());
        for (const char *problem :
             {"does not start with \"begin\"", "no \"end\" within 100 digest lines",
              "line longer than 4096 bytes", "bytes that are not text",
              "nothing sent or read for 1500 ms"})
            QVERIFY2(log.count(QLatin1String(problem)) == 1, qPrintable(log));
    }

    void executableCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output"); // expected on stdout for 0, else on stderr
        QTest::newRow("version") << QStringList{"--version"} << 0 << "winorvex-server 0.2";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--hash-list <FILE>";
        QTest::newRow("bad option")
            << QStringList{"--registry-port", "99999"} << 2 << "--registry-port needs a port";
        QTest::newRow("missing list")
            << QStringList{"--registry-port", "0", "--hash-list", "/nonexistent/list"} << 1
            << "cannot read /nonexistent/list";
    }
    void executableCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        ServerProcess server(arguments);
        QVERIFY(server.waitForExit());
        QCOMPARE(server.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process().exitCode(), exitCode);
        const QByteArray text = exitCode == 0 ? server.standardOutput() : server.standardError();
        QVERIFY2(QString::fromUtf8(text).contains(output), text.constData());
    }
};

QTEST_GUILESS_MAIN(TestReferenceServer)
#include "tst_referenceserver.moc"
