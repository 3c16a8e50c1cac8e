#include "server/referenceserver.h"
#include "server/registryservice.h"
#include "servertestclient.h"
#include "testenvironment.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

using namespace ServerTestClient;

namespace {

const QByteArray first = QByteArrayLiteral("d41d8cd98f00b204e9800998ecf8427e");
const QByteArray second = QByteArrayLiteral("0123456789abcdef0123456789abcdef");

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
