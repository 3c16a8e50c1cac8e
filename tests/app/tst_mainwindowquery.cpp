#include "app/mainwindow.h"
#include "fakeplatforminfo.h"
#include "files/filetab.h"
#include "platform/clock.h"
#include "processes/processmonitor.h"
#include "registry/orvextab.h"
#include "registrytestserver.h"
#include "testenvironment.h"

#include <QtTest>

#include <QPointer>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QToolButton>

namespace {
// A tab that records what the registry road brings back.
class RecordingTab : public OrvexTab
{
public:
    QStringList records;
    QStringList unanswered;
    int started = 0;
    int finished = 0;
    QPointer<QObject> handler;

    void setOrvexDataPacked(QString record) override { records << record; }
    void setOrvexData(QString, int, QVariant) override {}
    void OrvexQueryStarted() override
    {
        ++started;
        handler = sender();
    }
    void OrvexQueryFinished() override { ++finished; }
    void setOrvexDataUnanswered(QString md5) override { unanswered << md5; }
};

QString digest(int i)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Md5).toHex());
}
} // namespace

// The main window's part of the registry road: one handler per list, wired to the
// asking tab and to the network panel.
class TestMainWindowQuery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
        // The window starts process monitoring; these tests leave the machine's processes alone.
        ProcessMonitor::setTestMonitoringEnabled(false);
    }
    void init() { Clock::setTestWaitDivisor(50); }
    void cleanup()
    {
        Clock::resetTestSeam();
        qunsetenv("WINORVEX_REGISTRY");
    }

    void emptyListStartsNothing()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        RecordingTab tab;
        QVERIFY(connect(&tab, SIGNAL(queryOrvex(QList<QString>)), &window,
                        SLOT(queryOrvex(QList<QString>))));
        QTest::ignoreMessage(QtDebugMsg, "MainWindow::queryOrvex() called with 0 digests");
        Q_EMIT tab.queryOrvex({});
        QCoreApplication::processEvents();
        QCOMPARE(tab.started, 0);
    }

    void answersReachTheAskingTabAndTheHandlerGoes()
    {
        RegistryTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_REGISTRY", server.address());
        server.setAnswer(digest(1), 1275400000, 12);
        server.setAnswer(digest(2), 1275400000, 0);

        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        RecordingTab tab;
        connect(&tab, SIGNAL(queryOrvex(QList<QString>)), &window,
                SLOT(queryOrvex(QList<QString>)));
        Q_EMIT tab.queryOrvex({digest(1), digest(2), digest(3)});

        QTRY_COMPARE_WITH_TIMEOUT(tab.finished, 1, 20000);
        QCOMPARE(tab.started, 1);
        QCOMPARE(tab.records.size(), 3);
        QStringList rates;
        for (const QString &record : tab.records)
            rates << record.section(QLatin1Char('|'), 0, 1);
        rates.sort();
        QStringList expected{digest(1) + "|12", digest(2) + "|0", digest(3) + "|-1"};
        expected.sort();
        QCOMPARE(rates, expected);
        QTRY_VERIFY(tab.handler.isNull()); // deleted itself
        QVERIFY(window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget_network"))
                    ->isHidden());
    }

    // A registry that leaves the line end off its last line never answers the
    // last digest whole: the scan still finishes, with that file unchecked.
    void aDigestNeverAnsweredEndsUncheckedInTheFilesTab()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString path = folder.filePath(QStringLiteral("unanswered.txt"));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write("nobody answers for me"), qint64(21));
        }
        RegistryTestServer server;
        QVERIFY(server.listen());
        server.setLastLineEndOmitted(true);
        qputenv("WINORVEX_REGISTRY", server.address());

        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QSignalSpy finished(window.fileTab(), &FileTab::fileScanFinished);
        window.fileTab()->handleFilesAndDirectoriesDrop({QFileInfo(path)});
        QVERIFY(finished.wait(30000));
        QCOMPARE(server.requestCount(), 3);

        QSqlQuery rows;
        QVERIFY(rows.exec(QStringLiteral("SELECT path, check_state, status FROM items")));
        QVERIFY(rows.next());
        QCOMPARE(rows.value(0).toString(), path);
        QCOMPARE(rows.value(1).toInt(), 2);
        QCOMPARE(rows.value(2).toString(),
                 QStringLiteral("Unable to check against malware database."));
        QVERIFY(!rows.next());
    }

    void retryButtonReachesTheWaitingHandler()
    {
        RegistryTestServer server;
        QVERIFY(server.listen());
        server.setAnswer(digest(7), 1275400000, 40);
        QVERIFY(server.setRefusing(true));
        qputenv("WINORVEX_REGISTRY", server.address());

        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        RecordingTab tab;
        connect(&tab, SIGNAL(queryOrvex(QList<QString>)), &window,
                SLOT(queryOrvex(QList<QString>)));
        auto *panel = window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget_network"));
        Q_EMIT tab.queryOrvex({digest(7)});

        QTRY_VERIFY_WITH_TIMEOUT(!panel->isHidden(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(panel->currentWidget()->objectName(),
                                  QStringLiteral("page_net_failed"), 30000);
        QCOMPARE(tab.records.size(), 0);

        QVERIFY(server.setRefusing(false));
        // Ctrl+R is the Retry button's shortcut.
        QTest::keyClick(&window, Qt::Key_R, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(tab.finished, 1, 20000);
        QCOMPARE(tab.records.size(), 1);
        QVERIFY(tab.records.first().startsWith(digest(7) + "|40|"));
        QTRY_VERIFY(panel->isHidden());
    }
};

QTEST_MAIN(TestMainWindowQuery)
#include "tst_mainwindowquery.moc"
