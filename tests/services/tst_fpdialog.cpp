#include "platform/filename.h"
#include "registry/orvexcommunicator.h"
#include "reporttestserver.h"
#include "server/reportservice.h"
#include "server/serverlimits.h"
#include "services/fpdialog.h"
#include "testenvironment.h"

#include <QtTest>

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>

namespace {
const QString Md5 = QStringLiteral("44d88612fea8a8f36de82e1278abb02f");
const QString Sha1 = QStringLiteral("3395856ce81f2b7382dee72602f798b642f14140");

template <typename T> T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}
} // namespace

class TestFPDialog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
    }

    void cleanup() { qunsetenv("WINORVEX_REPORT_SERVER"); }

    void recordIsReadFromItsEnds_data()
    {
        QTest::addColumn<QString>("packed");
        QTest::addColumn<QString>("path");
        QTest::newRow("plain") << Md5 + '|' + Sha1 + "|/home/u/a.exe"
                               << "/home/u/a.exe";
        QTest::newRow("bar in path") << Md5 + '|' + Sha1 + "|/home/u/a|b||c.exe"
                                     << "/home/u/a|b||c.exe";
        QTest::newRow("two fields") << Md5 + '|' + Sha1 << QString();
        QTest::newRow("empty path") << Md5 + '|' + Sha1 + '|' << QString();
        QTest::newRow("no digests") << "||/home/u/a.exe" << QString();
        QTest::newRow("short md5") << Md5.left(31) + '|' + Sha1 + "|/a" << QString();
        QTest::newRow("not hex") << QString(Md5).replace(0, 1, 'g') + '|' + Sha1 + "|/a"
                                 << QString();
        QTest::newRow("digests swapped") << Sha1 + '|' + Md5 + "|/a" << QString();
    }

    void recordIsReadFromItsEnds()
    {
        QFETCH(QString, packed);
        QFETCH(QString, path);
        FPDialog dialog;
        if (path.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, "FPDialog::confirmSendReport() couldn't unpack "
                                               "the data!");
        QCOMPARE(dialog.confirmSendReport(packed), !path.isEmpty());
        QCOMPARE(child<QLabel>(&dialog, "label_file")->text(), path);
        QCOMPARE(child<QLabel>(&dialog, "label_md5")->text(), path.isEmpty() ? QString() : Md5);
        QCOMPARE(child<QLabel>(&dialog, "label_sha1")->text(), path.isEmpty() ? QString() : Sha1);
        // A refused record leaves nothing to send.
        QCOMPARE(child<QPushButton>(&dialog, "pushButton_report")->isEnabled(), !path.isEmpty());
        if (path.isEmpty())
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    void reportLineBytes_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("comment");
        QTest::addColumn<QByteArray>("tail");
        QTest::newRow("bar in path")
            << "/srv/a|b.exe"
            << "Built it myself." << QByteArray("/srv/a|b.exe|Built it myself.");
        QTest::newRow("empty comment") << "/srv/a.exe" << QString() << QByteArray("/srv/a.exe|");
        QTest::newRow("outside Latin-1")
            << QStringLiteral("/home/u/отчёт.exe") << QStringLiteral("Ложное € 日本\nsecond line")
            << QByteArray("/home/u/\xd0\xbe\xd1\x82\xd1\x87\xd1\x91\xd1\x82.exe|"
                          "\xd0\x9b\xd0\xbe\xd0\xb6\xd0\xbd\xd0\xbe\xd0\xb5 \xe2\x82\xac "
                          "\xe6\x97\xa5\xe6\x9c\xac\nsecond line");
        QTest::newRow("Latin-1 in path") << QStringLiteral("/home/u/café.exe") << "ok"
                                         << QByteArray("/home/u/caf\xc3\xa9.exe|ok");
        // A name that is not UTF-8 goes as the file system holds it.
        QTest::newRow("name not UTF-8") << FileName::fromBytes("/home/u/\xff\xfe.bin") << "x"
                                        << QByteArray("/home/u/\xff\xfe.bin|x");
    }

    void reportLineBytes()
    {
        QFETCH(QString, path);
        QFETCH(QString, comment);
        QFETCH(QByteArray, tail);
        ReportTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_REPORT_SERVER", server.address());

        FPDialog dialog;
        QVERIFY(dialog.confirmSendReport(Md5 + '|' + Sha1 + '|' + path));
        QCOMPARE(child<QLabel>(&dialog, "label_file")->text(), FileName::readable(path));
        child<QPlainTextEdit>(&dialog, "plainTextEdit")->setPlainText(comment);
        QSignalSpy received(&server, &ReportTestServer::reportReceived);
        QTest::mouseClick(child<QPushButton>(&dialog, "pushButton_report"), Qt::LeftButton);
        QCOMPARE(dialog.currentPage(), QStringLiteral("page_send"));
        QVERIFY(received.wait(10000));
        QCOMPARE(server.reports().size(), 1);
        const QByteArray expected = OrvexCommunicator::installationDigest() + '|' + Md5.toLatin1() +
                                    '|' + Sha1.toLatin1() + '|' + tail;
        QCOMPARE(server.reports().first(), expected);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.currentStatusPage(), QStringLiteral("page_ok"), 10000);
        QCOMPARE(child<QLabel>(&dialog, "label_status")->text(), QStringLiteral("Thank you."));
        QCOMPARE(child<QLabel>(&dialog, "label_info")->text(),
                 QStringLiteral("Your report is appreciated."));
        QCOMPARE(child<QPushButton>(&dialog, "pushButton_cancel_network")->text(),
                 QStringLiteral("Close"));
        QVERIFY(child<QPushButton>(&dialog, "pushButton_retry")->isHidden());
    }

    // The reference server of this project, as run-winorvex starts it, keeps
    // the report as one line of its file.
    void referenceServerStoresTheReport()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString path = folder.filePath(QStringLiteral("reports.txt"));
        ReportService service(ServerLimits(), path);
        QString error;
        QVERIFY2(service.openFile(&error), qPrintable(error));
        QVERIFY2(service.listen(QHostAddress(QHostAddress::LocalHost), 0, &error),
                 qPrintable(error));
        qputenv("WINORVEX_REPORT_SERVER", "127.0.0.1:" + QByteArray::number(service.serverPort()));

        FPDialog dialog;
        QVERIFY(dialog.confirmSendReport(Md5 + '|' + Sha1 + QStringLiteral("|/srv/a|b.exe")));
        child<QPlainTextEdit>(&dialog, "plainTextEdit")
            ->setPlainText(QStringLiteral("Signed by us.\nSee the build log."));
        QTest::mouseClick(child<QPushButton>(&dialog, "pushButton_report"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.currentStatusPage(), QStringLiteral("page_ok"), 10000);
        const QByteArray expected = OrvexCommunicator::installationDigest() + '|' + Md5.toLatin1() +
                                    '|' + Sha1.toLatin1() +
                                    "|/srv/a|b.exe|Signed by us.\\nSee the build log.\n";
        QFile file(path);
        QTRY_VERIFY_WITH_TIMEOUT(file.size() >= expected.size(), 10000);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), expected);
    }

    void refusedConnectionThenRetry()
    {
        // A port that was free a moment ago: nothing listens there.
        ReportTestServer server;
        QVERIFY(server.listen());
        const quint16 port = server.port();
        qputenv("WINORVEX_REPORT_SERVER", server.address());
        server.close();

        FPDialog dialog;
        QVERIFY(dialog.confirmSendReport(Md5 + '|' + Sha1 + "|/srv/a.exe"));
        child<QPlainTextEdit>(&dialog, "plainTextEdit")->setPlainText(QStringLiteral("mine"));
        QTest::mouseClick(child<QPushButton>(&dialog, "pushButton_report"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.currentStatusPage(), QStringLiteral("page_error"), 10000);
        QCOMPARE(child<QLabel>(&dialog, "label_status")->text(),
                 QStringLiteral("Network Error: Connection refused."));
        QCOMPARE(child<QLabel>(&dialog, "label_info")->text(), QStringLiteral("Please try again."));
        QPushButton *retry = child<QPushButton>(&dialog, "pushButton_retry");
        QVERIFY(!retry->isHidden());
        QCOMPARE(child<QPushButton>(&dialog, "pushButton_cancel_network")->text(),
                 QStringLiteral("Cancel"));

        // Retry sends the same record and comment once the server is back.
        if (!server.listen(port))
            QSKIP("the port was taken by another program meanwhile");
        QSignalSpy received(&server, &ReportTestServer::reportReceived);
        QTest::mouseClick(retry, Qt::LeftButton);
        QVERIFY(retry->isHidden());
        QVERIFY(received.wait(10000));
        QCOMPARE(server.reports().first(), OrvexCommunicator::installationDigest() + '|' +
                                               Md5.toLatin1() + '|' + Sha1.toLatin1() +
                                               "|/srv/a.exe|mine");
        QTRY_COMPARE_WITH_TIMEOUT(dialog.currentStatusPage(), QStringLiteral("page_ok"), 10000);
    }

    void retryAbortsTheConnectionUnderWay()
    {
        ReportTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_REPORT_SERVER", server.address());
        FPDialog dialog;
        QVERIFY(dialog.confirmSendReport(Md5 + '|' + Sha1 + "|/srv/a.exe"));
        QTest::mouseClick(child<QPushButton>(&dialog, "pushButton_report"), Qt::LeftButton);
        // An error reported while the connection is still being made (a proxy
        // or a time-out does that): the socket has not let go of it yet.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("FPDialog::handleSocketError"));
        QVERIFY(QMetaObject::invokeMethod(
            &dialog, "handleSocketError",
            Q_ARG(QAbstractSocket::SocketError, QAbstractSocket::SocketTimeoutError)));
        QCOMPARE(dialog.currentStatusPage(), QStringLiteral("page_error"));
        // Connecting again over it would be refused ("already connecting").
        QTest::failOnWarning(QRegularExpression("connectToHost"));
        QTest::mouseClick(child<QPushButton>(&dialog, "pushButton_retry"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.currentStatusPage(), QStringLiteral("page_ok"), 10000);
        // The dropped connection may reach the server, before or after the
        // retried one, but carries nothing; the retried one carries the report.
        const auto sent = [&server] {
            QList<QByteArray> reports = server.reports();
            reports.removeAll(QByteArray());
            return reports;
        };
        QTRY_COMPARE_WITH_TIMEOUT(sent().size(), 1, 10000);
        QCOMPARE(sent().first(), OrvexCommunicator::installationDigest() + '|' + Md5.toLatin1() +
                                     '|' + Sha1.toLatin1() + "|/srv/a.exe|");
    }

    void reportCutShortIsNotShownAsSent()
    {
        // The server resets the connection before it reads a byte; the report
        // is far larger than the sockets' buffers, so it cannot all leave.
        ReportTestServer server;
        server.setResetting(true);
        QVERIFY(server.listen());
        qputenv("WINORVEX_REPORT_SERVER", server.address());
        FPDialog dialog;
        QVERIFY(dialog.confirmSendReport(Md5 + '|' + Sha1 + "|/srv/a.exe"));
        // Short lines: the text box lays them out only as they come into sight.
        const QString line = QString(1023, QLatin1Char('x')) + QLatin1Char('\n');
        child<QPlainTextEdit>(&dialog, "plainTextEdit")->setPlainText(line.repeated(32 * 1024));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("FPDialog::handleSocketError"));
        QTest::mouseClick(child<QPushButton>(&dialog, "pushButton_report"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.currentStatusPage(), QStringLiteral("page_error"), 20000);
        QVERIFY(child<QLabel>(&dialog, "label_status")->text().startsWith("Network Error: "));
        QVERIFY(!child<QPushButton>(&dialog, "pushButton_retry")->isHidden());
        QCOMPARE(server.acceptedCount(), 1);
    }

    void cancelClosesTheDialog()
    {
        FPDialog dialog;
        QVERIFY(dialog.confirmSendReport(Md5 + '|' + Sha1 + "|/srv/a.exe"));
        dialog.show();
        QTest::mouseClick(child<QPushButton>(&dialog, "pushButton_cancel_report"), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
};

QTEST_MAIN(TestFPDialog)
#include "tst_fpdialog.moc"
