#include "server/reportservice.h"
#include "servertestclient.h"
#include "testenvironment.h"

#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace ServerTestClient;

namespace {

const QByteArray report =
    QByteArrayLiteral("0f1e2d3c4b5a69788796a5b4c3d2e1f0|d41d8cd98f00b204e9800998ecf8427e|"
                      "da39a3ee5e6b4b0d3255bfef95601890afd80709|/home/ann/tools/setup.bin|");

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestReportService : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ReportService> m_service;
    QString m_path;

    quint16 startService(const ServerLimits &limits = ServerLimits())
    {
        m_service = std::make_unique<ReportService>(limits, m_path);
        QString error;
        if (!m_service->openFile(&error) ||
            !m_service->listen(QHostAddress(QHostAddress::LocalHost), 0, &error))
            qFatal("%s", qPrintable(error));
        return m_service->serverPort();
    }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_path = m_dir->filePath(QStringLiteral("reports.txt"));
    }
    void cleanup()
    {
        m_service.reset();
        m_dir.reset();
    }

    void appendsOneLinePerReport()
    {
        const quint16 port = startService();
        QVERIFY(sendAndClose(port, report + "wrongly flagged"));
        QTRY_COMPARE_WITH_TIMEOUT(fileContent(m_path), report + "wrongly flagged\n", 5000);
        // An empty comment, and a client that ends its report with a line end.
        QVERIFY(sendAndClose(port, report));
        QVERIFY(sendAndClose(port, report + "x\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(fileContent(m_path),
                                  report + "wrongly flagged\n" + report + '\n' + report + "x\n",
                                  5000);
    }

    void keepsEarlierContentOfTheFile()
    {
        {
            QFile file(m_path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("older report\n");
        }
        const quint16 port = startService();
        QVERIFY(sendAndClose(port, report + "new"));
        QTRY_COMPARE_WITH_TIMEOUT(fileContent(m_path), "older report\n" + report + "new\n", 5000);
    }

    void multiLineCommentsStayOnOneLine()
    {
        const quint16 port = startService();
        QVERIFY(sendAndClose(port, report + "first line\nsecond\\line\r\nthird\ttab\x01"));
        QTRY_COMPARE_WITH_TIMEOUT(fileContent(m_path),
                                  report + "first line\\nsecond\\\\line\\r\\nthird\ttab\\x01\n",
                                  5000);
    }

    void escapedLine_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("plain") << QByteArray("a|b c") << QByteArray("a|b c");
        QTest::newRow("latin-1 kept") << QByteArray("caf\xe9") << QByteArray("caf\xe9");
        QTest::newRow("nul and delete") << QByteArray("a\0b\x7f", 4) << QByteArray("a\\x00b\\x7f");
        QTest::newRow("backslash before n") << QByteArray("\\n") << QByteArray("\\\\n");
    }
    void escapedLine()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, line);
        QCOMPARE(ReportService::escapedLine(input), line);
    }

    void concurrentReportsAreNeverInterleaved()
    {
        const quint16 port = startService();
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (int i = 0; i < 20; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            QVERIFY(connectTo(*sockets.back(), port));
            // Each sends half now, the rest after all have started.
            sockets.back()->write(report.left(40));
        }
        for (int i = 0; i < 20; ++i) {
            sockets[i]->write(report.mid(40) + "client " + QByteArray::number(i));
            sockets[i]->disconnectFromHost();
        }
        QTRY_COMPARE_WITH_TIMEOUT(fileContent(m_path).count('\n'), 20, 5000);
        QStringList lines =
            QString::fromLatin1(fileContent(m_path)).split('\n', Qt::SkipEmptyParts);
        lines.sort();
        QStringList expected;
        for (int i = 0; i < 20; ++i)
            expected.append(QString::fromLatin1(report + "client " + QByteArray::number(i)));
        expected.sort();
        QCOMPARE(lines, expected);
    }

    void discardsOversizedAndEmptyReports()
    {
        ServerLimits limits;
        limits.maxReportSize = 1000;
        const quint16 port = startService(limits);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                               "report larger than 1000 bytes; discarded")));
        QTcpSocket big;
        QVERIFY(connectTo(big, port));
        big.write(report + QByteArray(2000, 'c'));
        QVERIFY(waitForClosed(big));

        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("closed without a report")));
        QVERIFY(sendAndClose(port, QByteArray()));
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 0, 5000);
        QVERIFY(sendAndClose(port, report + "after"));
        QTRY_COMPARE_WITH_TIMEOUT(fileContent(m_path), report + "after\n", 5000);
    }

    void aStalledReportIsDiscarded()
    {
        ServerLimits limits;
        limits.idleTimeoutMs = 200;
        const quint16 port = startService(limits);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("nothing sent or read for 200 ms")));
        QTcpSocket socket;
        QVERIFY(connectTo(socket, port));
        socket.write(report.left(30));
        QVERIFY(waitForClosed(socket, 5000));
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 0, 5000);
        QCOMPARE(fileContent(m_path), QByteArray());
    }

    void reopeningFollowsARotatedFile()
    {
        const quint16 port = startService();
        QVERIFY(sendAndClose(port, report + "one"));
        QTRY_COMPARE_WITH_TIMEOUT(fileContent(m_path), report + "one\n", 5000);
        const QString rotated = m_path + QStringLiteral(".1");
        QVERIFY(QFile::rename(m_path, rotated));
        QString error;
        QVERIFY2(m_service->openFile(&error), qPrintable(error));
        QVERIFY(sendAndClose(port, report + "two"));
        QTRY_COMPARE_WITH_TIMEOUT(fileContent(m_path), report + "two\n", 5000);
        QCOMPARE(fileContent(rotated), report + "one\n");
    }

    void aFileThatCannotBeOpenedIsRefused()
    {
        ReportService service(ServerLimits(),
                              m_dir->filePath(QStringLiteral("no/such/folder/r.txt")));
        QString error;
        QVERIFY(!service.openFile(&error));
        QVERIFY(error.contains(QStringLiteral("cannot open")));
    }
};

QTEST_GUILESS_MAIN(TestReportService)
#include "tst_reportservice.moc"
