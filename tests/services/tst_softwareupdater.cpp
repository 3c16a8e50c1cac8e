#include "platform/clock.h"
#include "platform/serveraddress.h"
#include "registry/orvexcommunicator.h"
#include "server/serverlimits.h"
#include "server/updateservice.h"
#include "services/checkingforupdatesdialog.h"
#include "services/softwareupdater.h"
#include "services/updatedialog.h"
#include "testenvironment.h"
#include "updatetestserver.h"

#include <QtTest>

#include <QLabel>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextBrowser>

namespace {
// "Now" at noon today, so that counting days never straddles a midnight.
void pinClockToNoon()
{
    const QDateTime now = QDateTime::currentDateTime();
    Clock::setTestTimeOffset(now.secsTo(QDateTime(now.date(), QTime(12, 0))));
}

QString versionText(SoftwareUpdater &updater)
{
    return updater.updateDialog()->findChild<QLabel *>("label_version")->text();
}
} // namespace

class TestSoftwareUpdater : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
        QCoreApplication::setApplicationVersion(QStringLiteral("beta 2"));
    }

    void init()
    {
        // Warnings of the update check are part of its behaviour: each expected
        // one is named by the test.
        QTest::failOnWarning(QRegularExpression("^(SoftwareUpdater|UpdateDialog)::"));
    }

    void cleanup()
    {
        Clock::resetTestSeam();
        SoftwareUpdater::setTestAutomaticChecksAllowed(true);
        qunsetenv("WINORVEX_UPDATE_SERVER");
    }

    void shippedValues()
    {
        QCOMPARE(SoftwareUpdater::CheckIntervalDays, 7);
        QCOMPARE(SoftwareUpdater::MaxAnswerSize, qint64(64 * 1024));
        QCOMPARE(SoftwareUpdater::AnswerTimeoutMs, 30000);
        QVERIFY(SoftwareUpdater::testAutomaticChecksAllowed());
        QVERIFY(!SoftwareUpdater::isAutomaticUpdateCheckEnabled());
        QCOMPARE(ServerAddress::updateServer().port, quint16(57777));
        SoftwareUpdater updater;
        QVERIFY(!updater.lastUpdateCheck().isValid());
        QCOMPARE(updater.progressDialog()->windowTitle(), QStringLiteral("Checking For Update"));
        QCOMPARE(updater.progressDialog()->currentPage(), QStringLiteral("page_checking"));
    }

    void automaticFlagIsLogged()
    {
        QTest::ignoreMessage(QtDebugMsg,
                             "SoftwareUpdater::setAutomaticUpdateCheckEnabled( 1 ) called");
        SoftwareUpdater::setAutomaticUpdateCheckEnabled(true);
        QVERIFY(SoftwareUpdater::isAutomaticUpdateCheckEnabled());
        QTest::ignoreMessage(QtDebugMsg,
                             "SoftwareUpdater::setAutomaticUpdateCheckEnabled( 0 ) called");
        SoftwareUpdater::setAutomaticUpdateCheckEnabled(false);
        QVERIFY(!SoftwareUpdater::isAutomaticUpdateCheckEnabled());
    }

    void requestLine()
    {
        UpdateTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_UPDATE_SERVER", server.address());
        SoftwareUpdater updater;
        QSignalSpy finished(&updater, &SoftwareUpdater::checkFinished);
        updater.checkForUpdates(true);
        QVERIFY(finished.wait(10000));
        QCOMPARE(server.requests(),
                 QList<QByteArray>{"beta 2|" + OrvexCommunicator::platformDigest() + '|' +
                                   OrvexCommunicator::installationDigest() + '\n'});
    }

    // What the update server answers, and what the user sees of it.
    void answers_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("pieceSize");
        QTest::addColumn<bool>("interactive");
        QTest::addColumn<QString>("page");    // the progress dialog's, when it is shown
        QTest::addColumn<QString>("version"); // the offer's text; empty: no offer
        QTest::addColumn<bool>("recorded");   // the last update check is now
        QTest::addColumn<QString>("warning");

        const QString offer2 = QStringLiteral("WinOrvex 2.0 is now available - you have beta "
                                              "2.  Would you like to download it?");
        const QString placeholder = QStringLiteral("WinOrvex X is now available - you have Y.  "
                                                   "Would you like to download it?");
        const QByteArray offer = "2.0\nhttps://example.org/get\n<p>Faster scans.</p>\n";
        const QByteArray greeting = "Got a connection.\n";
        const QString shortOffer = QStringLiteral("^UpdateDialog::loadPayload\\(\\) payload had "
                                                  "less than 3 lines in it!$");

        QTest::newRow("up to date, asked")
            << QByteArray() << QByteArray("UP_TO_DATE\n") << 0 << true << "page_up_to_date"
            << QString() << true << QString();
        QTest::newRow("up to date, automatic")
            << QByteArray() << QByteArray("UP_TO_DATE\n") << 0 << false << QString() << QString()
            << true << QString();
        QTest::newRow("greeting in its own packet, asked")
            << greeting << QByteArray("UP_TO_DATE\n") << 0 << true << "page_up_to_date" << QString()
            << true << QString();
        QTest::newRow("greeting in its own packet, automatic")
            << greeting << QByteArray("UP_TO_DATE\n") << 0 << false << QString() << QString()
            << true << QString();
        QTest::newRow("line ends CRLF") << QByteArray() << QByteArray("UP_TO_DATE\r\n") << 0 << true
                                        << "page_up_to_date" << QString() << true << QString();
        QTest::newRow("ERROR") << QByteArray() << QByteArray("ERROR\n") << 0 << true << "page_error"
                               << QString() << false << QString();
        QTest::newRow("empty") << QByteArray() << QByteArray() << 0 << true << "page_error"
                               << QString() << false << QString();
        QTest::newRow("only a greeting") << greeting << QByteArray() << 0 << true << "page_error"
                                         << QString() << false << QString();
        QTest::newRow("offer, asked")
            << QByteArray() << offer << 0 << true << QString() << offer2 << true << QString();
        QTest::newRow("offer, automatic")
            << QByteArray() << offer << 0 << false << QString() << offer2 << true << QString();
        QTest::newRow("offer in pieces")
            << greeting << offer << 5 << true << QString() << offer2 << true << QString();
        QTest::newRow("UP_TO_DATE and more is an offer")
            << QByteArray() << QByteArray("UP_TO_DATE, or not\n") << 0 << true << QString()
            << placeholder << true << shortOffer;
        QTest::newRow("offer of two lines")
            << QByteArray() << QByteArray("2.0\nhttps://example.org/get\n") << 0 << true
            << QString() << placeholder << true << shortOffer;
        QByteArray huge = offer;
        while (huge.size() <= SoftwareUpdater::MaxAnswerSize)
            huge += "<p>Padding padding padding padding padding padding padding.</p>\n";
        QTest::newRow("over the cap")
            << QByteArray() << huge << 0 << true << "page_error" << QString() << false
            << QStringLiteral("^SoftwareUpdater::readUpdate\\(\\) the "
                              "answer is larger than 65536 bytes");
        QTest::newRow("over the cap, in pieces")
            << QByteArray() << huge << 4096 << false << QString() << QString() << false
            << QStringLiteral("^SoftwareUpdater::readUpdate\\(\\) the answer is larger than "
                              "65536 bytes");
    }
    void answers()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, answer);
        QFETCH(int, pieceSize);
        QFETCH(bool, interactive);
        QFETCH(QString, page);
        QFETCH(QString, version);
        QFETCH(bool, recorded);
        QFETCH(QString, warning);
        UpdateTestServer server;
        QVERIFY(server.listen());
        server.setGreeting(greeting);
        server.setAnswer(answer);
        server.setPieces(pieceSize, 10);
        qputenv("WINORVEX_UPDATE_SERVER", server.address());
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));

        pinClockToNoon();
        SoftwareUpdater updater;
        QSignalSpy finished(&updater, &SoftwareUpdater::checkFinished);
        updater.checkForUpdates(interactive);
        QVERIFY(finished.wait(20000));

        CheckingForUpdatesDialog *progress = updater.progressDialog();
        QCOMPARE(progress->isVisible(), !page.isEmpty());
        if (!page.isEmpty())
            QCOMPARE(progress->currentPage(), page);
        QCOMPARE(updater.updateDialog() != nullptr, !version.isEmpty());
        if (!version.isEmpty()) {
            QVERIFY(updater.updateDialog()->isVisible());
            QVERIFY(updater.updateDialog()->isModal());
            QCOMPARE(versionText(updater), version);
        }
        QCOMPARE(updater.lastUpdateCheck().isValid(), recorded);
        if (recorded)
            QVERIFY(qAbs(updater.lastUpdateCheck().secsTo(Clock::currentDateTime())) <= 5);
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(!updater.isChecking());
    }

    void unreachableServer()
    {
        // A port that was free a moment ago: nothing listens there.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        qputenv("WINORVEX_UPDATE_SERVER", "127.0.0.1:" + QByteArray::number(port));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^SoftwareUpdater::handleSocketError\\( 0 \\) "
                                                "called: .*refused"));
        SoftwareUpdater updater;
        QSignalSpy finished(&updater, &SoftwareUpdater::checkFinished);
        updater.checkForUpdates(true);
        QVERIFY(finished.wait(10000));
        QCOMPARE(updater.progressDialog()->currentPage(), QStringLiteral("page_error"));
        QVERIFY(updater.progressDialog()->isVisible());
        QVERIFY(!updater.lastUpdateCheck().isValid());
    }

    // A server that answers and never closes has not finished its answer.
    void serverThatNeverClosesTimesOut()
    {
        UpdateTestServer server;
        QVERIFY(server.listen());
        server.setKeepOpen(true);
        qputenv("WINORVEX_UPDATE_SERVER", server.address());
        Clock::setTestWaitDivisor(100);
        QTest::ignoreMessage(QtWarningMsg, "SoftwareUpdater::handleTimeout() the update server "
                                           "did not answer within 30 seconds");
        SoftwareUpdater updater;
        QSignalSpy finished(&updater, &SoftwareUpdater::checkFinished);
        updater.checkForUpdates(true);
        QVERIFY(finished.wait(10000));
        QCOMPARE(updater.progressDialog()->currentPage(), QStringLiteral("page_error"));
        QVERIFY(!updater.lastUpdateCheck().isValid());
        QTRY_COMPARE(server.closedByClient(), 1);
    }

    // Automatic checks go to the network once in seven days, counted on the
    // program's clock; a check the user asks for always goes.
    void sevenDayRule_data()
    {
        QTest::addColumn<int>("daysAgo"); // -1000: never checked
        QTest::addColumn<int>("clockMovesDays");
        QTest::addColumn<bool>("interactive");
        QTest::addColumn<bool>("connects");
        QTest::newRow("never checked") << -1000 << 0 << false << true;
        QTest::newRow("today") << 0 << 0 << false << false;
        QTest::newRow("6 days ago") << 6 << 0 << false << false;
        QTest::newRow("7 days ago") << 7 << 0 << false << true;
        QTest::newRow("30 days ago") << 30 << 0 << false << true;
        QTest::newRow("6 days ago, the clock moves on a day") << 6 << 1 << false << true;
        QTest::newRow("today, the clock moves on 6 days") << 0 << 6 << false << false;
        QTest::newRow("today, the clock moves on 7 days") << 0 << 7 << false << true;
        QTest::newRow("last check 3 days ahead of the clock") << -3 << 0 << false << true;
        QTest::newRow("asked, checked today") << 0 << 0 << true << true;
    }
    void sevenDayRule()
    {
        QFETCH(int, daysAgo);
        QFETCH(int, clockMovesDays);
        QFETCH(bool, interactive);
        QFETCH(bool, connects);
        UpdateTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_UPDATE_SERVER", server.address());
        pinClockToNoon();
        SoftwareUpdater updater;
        const QDateTime last =
            daysAgo == -1000 ? QDateTime() : Clock::currentDateTime().addDays(-daysAgo);
        updater.setLastUpdateCheck(last);
        Clock::advanceTestTime(qint64(clockMovesDays) * 24 * 3600);
        const qint64 days = last.isValid() ? last.daysTo(Clock::currentDateTime()) : 0;
        if (!interactive)
            QTest::ignoreMessage(QtDebugMsg,
                                 qPrintable(QStringLiteral("SoftwareUpdater::checkForUpdates() it "
                                                           "has been %1 days since last update "
                                                           "check")
                                                .arg(days)));
        QSignalSpy finished(&updater, &SoftwareUpdater::checkFinished);

        updater.checkForUpdates(interactive);

        QCOMPARE(updater.isChecking(), connects);
        if (connects) {
            QVERIFY(finished.wait(10000));
            QCOMPARE(server.requests().size(), 1);
            QVERIFY(qAbs(updater.lastUpdateCheck().secsTo(Clock::currentDateTime())) <= 5);
        } else {
            QCOMPARE(server.connectionCount(), 0);
            QCOMPARE(updater.lastUpdateCheck(), last);
        }
    }

    void testSeamStopsOnlyAutomaticChecks()
    {
        UpdateTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_UPDATE_SERVER", server.address());
        SoftwareUpdater::setTestAutomaticChecksAllowed(false);
        SoftwareUpdater updater;
        updater.checkForUpdates(false);
        QVERIFY(!updater.isChecking());
        QSignalSpy finished(&updater, &SoftwareUpdater::checkFinished);
        updater.checkForUpdates(true);
        QVERIFY(finished.wait(10000));
        QCOMPARE(server.requests().size(), 1);
    }

    // One exchange at a time: a new check drops the connection of the one
    // before, whose answer is never read.
    void newCheckDropsTheOldConnection()
    {
        UpdateTestServer server;
        QVERIFY(server.listen());
        server.setHeld(true);
        server.setAnswer("2.0\nhttps://example.org/get\n<p>Late.</p>\n");
        qputenv("WINORVEX_UPDATE_SERVER", server.address());
        SoftwareUpdater updater;
        QSignalSpy requests(&server, &UpdateTestServer::requestReceived);
        QSignalSpy finished(&updater, &SoftwareUpdater::checkFinished);
        updater.checkForUpdates(true);
        QVERIFY(requests.wait(10000));

        server.setAnswer("UP_TO_DATE\n");
        updater.checkForUpdates(true);
        QTRY_COMPARE_WITH_TIMEOUT(server.closedByClient(), 1, 10000);
        QCOMPARE(updater.progressDialog()->currentPage(), QStringLiteral("page_checking"));
        QTRY_COMPARE_WITH_TIMEOUT(requests.count(), 2, 10000);
        server.releaseAnswers();
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(updater.progressDialog()->currentPage(), QStringLiteral("page_up_to_date"));
        QVERIFY(!updater.updateDialog());
    }

    // Cancel hides the progress dialog but lets the exchange finish: the answer
    // brings it back. A new check starts on the busy page again.
    void cancelDoesNotStopTheExchange()
    {
        UpdateTestServer server;
        QVERIFY(server.listen());
        server.setHeld(true);
        qputenv("WINORVEX_UPDATE_SERVER", server.address());
        SoftwareUpdater updater;
        QSignalSpy requests(&server, &UpdateTestServer::requestReceived);
        QSignalSpy finished(&updater, &SoftwareUpdater::checkFinished);
        CheckingForUpdatesDialog *progress = updater.progressDialog();
        updater.checkForUpdates(true);
        QVERIFY(progress->isVisible());
        QVERIFY(requests.wait(10000));
        progress->findChild<QPushButton *>("pushButton_cancel")->click();
        QVERIFY(progress->isHidden());

        server.releaseAnswers();
        QVERIFY(finished.wait(10000));
        QVERIFY(progress->isVisible());
        QCOMPARE(progress->currentPage(), QStringLiteral("page_up_to_date"));
        progress->findChild<QPushButton *>("pushButton_close2")->click();
        QVERIFY(progress->isHidden());

        server.setHeld(true);
        updater.checkForUpdates(true);
        QVERIFY(progress->isVisible());
        QCOMPARE(progress->currentPage(), QStringLiteral("page_checking"));
        QVERIFY(requests.wait(10000));
        server.releaseAnswers();
        QVERIFY(finished.wait(10000));
    }

    // The reference server of this project, as run-winorvex starts it.
    void referenceServer_data()
    {
        QTest::addColumn<QByteArray>("offerFile");
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("version");
        QTest::newRow("no offer") << QByteArray() << "page_up_to_date" << QString();
        QTest::newRow("offer") << QByteArray("0.3\nhttps://example.org/winorvex-0.3\n<p>Faster "
                                             "scans.</p>\n")
                               << "page_checking"
                               << "WinOrvex 0.3 is now available - you have beta 2.  Would you "
                                  "like to download it?";
    }
    void referenceServer()
    {
        QFETCH(QByteArray, offerFile);
        QFETCH(QString, page);
        QFETCH(QString, version);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        QString path;
        if (!offerFile.isEmpty()) {
            path = folder.filePath(QStringLiteral("offer.txt"));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(offerFile);
        }
        UpdateService service{ServerLimits()};
        QString error;
        QVERIFY2(service.loadOffer(path, &error), qPrintable(error));
        QVERIFY2(service.listen(QHostAddress(QHostAddress::LocalHost), 0, &error),
                 qPrintable(error));
        qputenv("WINORVEX_UPDATE_SERVER", "127.0.0.1:" + QByteArray::number(service.serverPort()));

        SoftwareUpdater updater;
        QSignalSpy finished(&updater, &SoftwareUpdater::checkFinished);
        updater.checkForUpdates(true);
        QVERIFY(finished.wait(10000));
        QCOMPARE(updater.progressDialog()->currentPage(), page);
        QCOMPARE(updater.progressDialog()->isVisible(), version.isEmpty());
        QCOMPARE(updater.updateDialog() != nullptr, !version.isEmpty());
        if (version.isEmpty())
            return;
        QCOMPARE(versionText(updater), version);
        QCOMPARE(updater.updateDialog()->downloadAddress(),
                 QUrl("https://example.org/winorvex-0.3"));
        QCOMPARE(updater.updateDialog()->findChild<QTextBrowser *>("textBrowser")->toPlainText(),
                 QStringLiteral("Faster scans."));
    }
};

QTEST_MAIN(TestSoftwareUpdater)
#include "tst_softwareupdater.moc"
