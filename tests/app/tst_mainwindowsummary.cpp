#include "app/mainwindow.h"
#include "app/preferences.h"
#include "fakeplatforminfo.h"
#include "files/filetab.h"
#include "files/userprompt.h"
#include "platform/clock.h"
#include "processes/processmonitor.h"
#include "registrytestserver.h"
#include "services/checkingforupdatesdialog.h"
#include "services/softwareupdater.h"
#include "testenvironment.h"
#include "updatetestserver.h"
#include "views/summaryitemfiles.h"
#include "views/summaryitemprocesses.h"
#include "views/summarytab.h"
#include "widgets/capsulebutton.h"
#include "widgets/filedroparea.h"

#include <QtTest>

#include <QDialog>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>

namespace {
QString md5Of(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
}

// Drags the URLs onto the widget and drops them, as a file manager would.
void dropUrls(QWidget *target, const QList<QUrl> &urls)
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    QVERIFY(drop.isAccepted());
}

int currentPage(MainWindow &window)
{
    return window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->currentIndex();
}
} // namespace

// The Summary tab inside the main window: what it shows of the Files tab and of
// process monitoring, and the scans it starts.
class TestMainWindowSummary : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
        ProcessMonitor::setTestMonitoringEnabled(false);
        SoftwareUpdater::setTestAutomaticChecksAllowed(false);
    }
    void init()
    {
        Clock::setTestWaitDivisor(50);
        UserPrompt::setScripted(true);
    }
    void cleanup()
    {
        Clock::resetTestSeam();
        UserPrompt::takeShown();
        UserPrompt::setScripted(false);
        qunsetenv("WINORVEX_REGISTRY");
        qunsetenv("WINORVEX_UPDATE_SERVER");
    }

    void summaryIsTheFirstPage()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QCOMPARE(currentPage(window), int(MainWindow::SummaryPage));
        QVERIFY(window.summaryTab()->isVisibleTo(&window));
        // Monitoring is switched off in these tests, and the summary says so.
        SummaryItemProcesses *processes = window.summaryTab()->processesItem();
        QCOMPARE(processes->additionalInfo(), QStringLiteral("Processes are not being monitored."));
        QVERIFY(!processes->isLedGreen());
        Q_EMIT window.processMonitor()->malwareProcessFound(QStringLiteral("/opt/bad"), 42);
        QCOMPARE(processes->status(), QStringLiteral("WinOrvex has identified 1 malware process."));
        QVERIFY(window.findChild<QAction *>(QStringLiteral("actionPreferences"))->isEnabled());
        QVERIFY(
            window.findChild<QAction *>(QStringLiteral("actionCheck_For_Updates"))->isEnabled());
    }

    // A folder dropped on the Summary tab is scanned by the Files tab; the
    // summary follows the scan and counts the malware it finds.
    void dropScansThroughTheFilesTab()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QByteArray bad = "listed as malware by the test registry";
        writeFile(folder.filePath(QStringLiteral("bad.exe")), bad);
        writeFile(folder.filePath(QStringLiteral("good.txt")), "harmless");
        RegistryTestServer server;
        QVERIFY(server.listen());
        server.setAnswer(md5Of(bad), 1275400000, 60);
        qputenv("WINORVEX_REGISTRY", server.address());

        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        SummaryTab *summary = window.summaryTab();
        CapsuleButton *capsule = summary->filesItem()->capsuleButton();
        bool stopOfferedWhileScanning = false;
        bool dropsRefusedWhileScanning = false;
        connect(window.fileTab(), &FileTab::fileScanStarted, this, [&] {
            stopOfferedWhileScanning = capsule->stopButton()->isVisible();
            dropsRefusedWhileScanning = !summary->dropArea()->isEnabled();
        });
        QSignalSpy finished(window.fileTab(), &FileTab::fileScanFinished);

        dropUrls(summary->dropArea(), {QUrl::fromLocalFile(folder.path())});

        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QVERIFY(stopOfferedWhileScanning);
        QVERIFY(dropsRefusedWhileScanning);
        QCOMPARE(server.requestCount(), 1);
        QCOMPARE(summary->filesItem()->status(),
                 QStringLiteral("WinOrvex has identified 1 malware file."));
        QCOMPARE(summary->filesItem()->mode(), int(SummaryItem::MalwareFound));
        QVERIFY(capsule->startButton()->isVisible());
        QVERIFY(summary->dropArea()->isEnabled());
        // The summary stays in front; its Details link leads to the files.
        QCOMPARE(currentPage(window), int(MainWindow::SummaryPage));
        auto *details = summary->filesItem()->findChild<QLabel *>(QStringLiteral("label_details"));
        QTest::mouseClick(details, Qt::LeftButton, Qt::NoModifier,
                          QPoint(details->contentsRect().left() + 4, details->height() / 2));
        QCOMPARE(currentPage(window), int(MainWindow::FilesPage));
    }

    // "Scan Computer" scans the system drive through the Files tab; "Stop Scan"
    // stops it.
    void scanComputerButtonStartsAndStops()
    {
        QTemporaryDir drive;
        QVERIFY(drive.isValid());
        writeFile(drive.filePath(QStringLiteral("program.sh")), "#!/bin/sh\n");
        QVERIFY(QFile::setPermissions(drive.filePath(QStringLiteral("program.sh")),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner));
        RegistryTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_REGISTRY", server.address());

        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.fileTab()->setSystemDrive(drive.path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        CapsuleButton *capsule = window.summaryTab()->filesItem()->capsuleButton();
        QSignalSpy finished(window.fileTab(), &FileTab::fileScanFinished);
        QSignalSpy aborted(window.fileTab(), &FileTab::fileScanAborted);

        QTest::mouseClick(capsule->startButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().first().digests.size(), 1);
        QCOMPARE(window.summaryTab()->filesItem()->status(),
                 QStringLiteral("No scanned files were identified as malware."));

        // A registry that never answers keeps the next scan waiting: stopped.
        // (A new program: the first one's answer comes from the cache.)
        server.setSilent(true);
        writeFile(drive.filePath(QStringLiteral("second.sh")), "#!/bin/sh\nexit 0\n");
        QVERIFY(QFile::setPermissions(drive.filePath(QStringLiteral("second.sh")),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner));
        QTest::mouseClick(capsule->startButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 2, 30000);
        QTRY_VERIFY(capsule->stopButton()->isVisible() && capsule->stopButton()->isEnabled());
        QTest::mouseClick(capsule->stopButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(aborted.count(), 1, 30000);
        QCOMPARE(window.summaryTab()->filesItem()->status(), QStringLiteral("Scan cancelled."));
        QVERIFY(capsule->startButton()->isVisible());
        QCOMPARE(finished.count(), 1);
    }

    void summaryLinks_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<int>("page");
        QTest::newRow("files") << "#details_files" << int(MainWindow::FilesPage);
        QTest::newRow("processes") << "#details_processes" << int(MainWindow::ProcessesPage);
        QTest::newRow("more options") << "#more_file_scan_options" << int(MainWindow::FilesPage);
        QTest::newRow("other") << "#details" << int(MainWindow::SummaryPage);
    }
    void summaryLinks()
    {
        QFETCH(QString, link);
        QFETCH(int, page);
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QTest::ignoreMessage(
            QtDebugMsg,
            qPrintable(
                QStringLiteral("MainWindow::handleSummaryLinkClick( %1 ) called").arg(link)));
        Q_EMIT window.summaryTab()->summaryLinkClicked(link);
        QCOMPARE(currentPage(window), page);
    }

    void editLinkOpensThePreferences()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        bool shown = false;
        QTimer::singleShot(0, &window, [&] {
            shown = window.preferencesDialog()->isVisible();
            window.preferencesDialog()->reject();
        });
        auto *edit =
            window.summaryTab()->filesItem()->findChild<QLabel *>(QStringLiteral("label_toggle"));
        QTest::mouseClick(edit, Qt::LeftButton, Qt::NoModifier,
                          QPoint(edit->contentsRect().left() + 4, edit->height() / 2));
        QVERIFY(shown);
    }

    void checkForUpdatesAsksTheServer()
    {
        UpdateTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_UPDATE_SERVER", server.address());
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QSignalSpy finished(window.softwareUpdater(), &SoftwareUpdater::checkFinished);
        window.findChild<QAction *>(QStringLiteral("actionCheck_For_Updates"))->trigger();
        CheckingForUpdatesDialog *progress = window.softwareUpdater()->progressDialog();
        QVERIFY(progress->isVisible());
        QCOMPARE(progress->parentWidget(), &window);
        QVERIFY(finished.wait(10000));
        QCOMPARE(progress->currentPage(), QStringLiteral("page_up_to_date"));
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(window.softwareUpdater()->lastUpdateCheck().isValid());
    }
};

QTEST_MAIN(TestMainWindowSummary)
#include "tst_mainwindowsummary.moc"
