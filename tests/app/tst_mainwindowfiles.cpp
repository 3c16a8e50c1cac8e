#include "app/applicationentry.h"
#include "app/mainwindow.h"
#include "fakeplatforminfo.h"
#include "faketray.h"
#include "files/filetab.h"
#include "files/fileview.h"
#include "files/sqlmodel.h"
#include "files/userprompt.h"
#include "platform/clock.h"
#include "platform/filename.h"
#include "processes/processmonitor.h"
#include "registry/orvexcommunicator.h"
#include "registrytestserver.h"
#include "reporttestserver.h"
#include "services/fpdialog.h"
#include "testenvironment.h"
#include "widgets/maintabbar.h"

#include <QtTest>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTextDocumentFragment>

#include <fcntl.h>
#include <unistd.h>

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
} // namespace

// The Files tab inside the main window: scan actions, tab bar, tray and alert.
class TestMainWindowFiles : public QObject
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
    void init()
    {
        Clock::setTestWaitDivisor(50);
        UserPrompt::setScripted(true);
    }
    void cleanup()
    {
        Clock::resetTestSeam();
        UserPrompt::setScripted(false);
        qunsetenv("WINORVEX_REGISTRY");
        qunsetenv("WINORVEX_REPORT_SERVER");
    }

    void malwareInAFolderBringsTheWindowBack()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QByteArray bad = "not really malware, only listed as such";
        writeFile(folder.filePath(QStringLiteral("bad.exe")), bad);
        writeFile(folder.filePath(QStringLiteral("good.txt")), "harmless");

        RegistryTestServer server;
        QVERIFY(server.listen());
        server.setAnswer(md5Of(bad), 1275400000, 55);
        server.setAnswer(md5Of("harmless"), 1275400000, 0);
        qputenv("WINORVEX_REGISTRY", server.address());

        FakePlatformInfo info(0x0601, true);
        FakeTray tray(true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *scanFiles = window.findChild<QAction *>(QStringLiteral("actionScan_Files"));
        auto *scanComputer = window.findChild<QAction *>(QStringLiteral("actionScan_Computer"));
        QVERIFY(scanFiles->isEnabled() && scanComputer->isEnabled());

        window.runMinimized(false);
        QVERIFY(window.isHidden());

        QSignalSpy started(window.fileTab(), &FileTab::fileScanStarted);
        QSignalSpy finished(window.fileTab(), &FileTab::fileScanFinished);
        QSignalSpy found(window.fileTab(), &FileTab::malwareFileFound);
        window.fileTab()->handleFilesAndDirectoriesDrop({QFileInfo(folder.path())});
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, 10000);
        QTRY_VERIFY(!scanFiles->isEnabled());
        QVERIFY(!scanComputer->isEnabled());

        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QCOMPARE(found.count(), 1);
        QCOMPARE(found.at(0).at(0).toString(), folder.filePath(QStringLiteral("bad.exe")));
        QVERIFY(scanFiles->isEnabled() && scanComputer->isEnabled());

        // The alert brought the window back from the tray.
        QVERIFY(window.isVisible());
        QVERIFY(!window.findChild<QSystemTrayIcon *>()->isVisible());

        // The Files tab carries the warning icon.
        auto *bar = window.findChild<MainTabBar *>();
        QVERIFY(!bar->tabIcon(MainWindow::FilesPage).isNull());
        const QImage shown = bar->tabIcon(MainWindow::FilesPage).pixmap(13, 13).toImage();
        bool opaque = false;
        for (int y = 0; y < shown.height() && !opaque; ++y)
            for (int x = 0; x < shown.width() && !opaque; ++x)
                opaque = qAlpha(shown.pixel(x, y)) > 0;
        QVERIFY2(opaque, "the Files tab should show the warning icon, not the blank one");

        QCOMPARE(window.fileTab()->fileModel()->rowCount(), 2);
    }

    // The EICAR test file under a name that is not UTF-8, named on the
    // window's command line, is scanned and found; a symbolic link loop named
    // beside it is reported with the system's reason, not as missing.
    void commandLineNamesReachTheirFiles()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QByteArray eicar =
            "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
        const QByteArray raw = QFile::encodeName(folder.path()) + "/caf\xe9 eicar.com";
        const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, eicar.constData(), size_t(eicar.size())), ssize_t(eicar.size()));
        ::close(fd);
        const auto removeRaw = qScopeGuard([&raw] { ::unlink(raw.constData()); });
        const QString loop = folder.filePath(QStringLiteral("loop"));
        QVERIFY(QFile::link(loop + QStringLiteral("2"), loop));
        QVERIFY(QFile::link(loop, loop + QStringLiteral("2")));

        RegistryTestServer server;
        QVERIFY(server.listen());
        server.setAnswer(md5Of(eicar), 1275400000, 66);
        qputenv("WINORVEX_REGISTRY", server.address());

        const QByteArray loopBytes = QFile::encodeName(loop);
        const char *const argv[] = {"winorvex", raw.constData(), loopBytes.constData()};
        QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable(QStringLiteral("ApplicationEntry::pathsToScan() ignoring '%1'").arg(loop)));
        const ApplicationEntry::CommandLinePaths paths =
            ApplicationEntry::pathsToScan(FileName::fromArguments(3, argv));

        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QSignalSpy finished(window.fileTab(), &FileTab::fileScanFinished);
        QSignalSpy found(window.fileTab(), &FileTab::malwareFileFound);
        window.openCommandLinePaths(paths.items, paths.missing);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QCOMPARE(found.count(), 1);
        QCOMPARE(found.at(0).at(0).toString(), FileName::fromBytes(raw));
        const QList<UserPrompt::Shown> shown = UserPrompt::takeShown();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.at(0).title, QStringLiteral("Scan Files"));
        QCOMPARE(shown.at(0).text,
                 QStringLiteral("This file or folder could not be reached and was not "
                                "scanned:\n\n%1: Too many levels of symbolic links")
                     .arg(loop));
    }

    // "Report False Positive..." on the selected malicious file sends its
    // record, a "|" in its name and all, to the report server.
    void reportActionSendsTheSelectedFile()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QByteArray bad = "wrongly listed | as malware";
        const QString badPath = folder.filePath(QStringLiteral("tool|v2.exe"));
        writeFile(badPath, bad);
        writeFile(folder.filePath(QStringLiteral("good.txt")), "harmless");

        RegistryTestServer registry;
        QVERIFY(registry.listen());
        registry.setAnswer(md5Of(bad), 1275400000, 40);
        registry.setAnswer(md5Of("harmless"), 1275400000, 0);
        qputenv("WINORVEX_REGISTRY", registry.address());
        ReportTestServer reports;
        QVERIFY(reports.listen());
        qputenv("WINORVEX_REPORT_SERVER", reports.address());

        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QSignalSpy finished(window.fileTab(), &FileTab::fileScanFinished);
        window.fileTab()->handleFilesAndDirectoriesDrop({QFileInfo(folder.path())});
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);

        SqlModel *model = window.fileTab()->fileModel();
        int badRow = -1;
        for (int row = 0; row < model->rowCount(); ++row)
            if (model->filePaths({row}).first() == badPath)
                badRow = row;
        QVERIFY(badRow >= 0);
        auto *view = window.fileTab()->findChild<FileView *>(QStringLiteral("tableView"));
        view->selectRow(badRow);
        auto *report = window.fileTab()->findChild<QAction *>("actionReport_False_Positive");
        QVERIFY(report->isEnabled());

        // The dialog runs modally: send once it is up, close it once it says sent.
        QString statusText;
        QTimer driver;
        driver.setInterval(10);
        QDeadlineTimer deadline(20000);
        bool clicked = false;
        connect(&driver, &QTimer::timeout, &window, [&] {
            auto *dialog = window.findChild<FPDialog *>();
            if (!dialog || !dialog->isVisible())
                return;
            if (deadline.hasExpired()) {
                dialog->reject();
            } else if (!clicked) {
                clicked = true;
                auto *send = dialog->findChild<QPushButton *>("pushButton_report");
                QTest::mouseClick(send, Qt::LeftButton);
            } else if (dialog->currentStatusPage() == QLatin1String("page_ok")) {
                statusText = dialog->findChild<QLabel *>("label_status")->text();
                dialog->findChild<QPushButton *>("pushButton_cancel_network")->click();
            }
        });
        driver.start();
        report->trigger();
        driver.stop();
        QCOMPARE(statusText, QStringLiteral("Thank you."));
        QVERIFY(window.findChildren<FPDialog *>().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(reports.reports().size(), 1, 10000);
        const QString sha1 =
            QString::fromLatin1(QCryptographicHash::hash(bad, QCryptographicHash::Sha1).toHex());
        QCOMPARE(reports.reports().first(),
                 (QStringLiteral("%1|%2|%3|%4|")
                      .arg(QString::fromLatin1(OrvexCommunicator::installationDigest()), md5Of(bad),
                           sha1, badPath))
                     .toUtf8());
    }

    void progressPageCountsEveryAnswer()
    {
        // Answers come faster than the window takes them; the bar, a busy
        // indicator while the registry is asked, still takes one step per answer.
        constexpr int Files = 300;
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        for (int i = 0; i < Files; ++i)
            writeFile(folder.filePath(QStringLiteral("f%1.txt").arg(i)), QByteArray::number(i));
        RegistryTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_REGISTRY", server.address());

        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        auto *bar = window.fileTab()->findChild<QProgressBar *>(
            QStringLiteral("progressBar_file_drive_scan"));
        QVERIFY(bar);
        int value = -2;
        connect(window.fileTab(), &FileTab::fileScanFinished, this, [&] { value = bar->value(); });
        window.fileTab()->handleFilesAndDirectoriesDrop({QFileInfo(folder.path())});
        // The query starts from a reset bar, whose value is minimum - 1.
        QTRY_COMPARE_WITH_TIMEOUT(value, Files - 1, 30000);
        QCOMPARE(window.fileTab()->fileModel()->rowCount(), Files);
    }

    // The network panel turns the tabs off while the registry cannot be
    // reached, but a scan waiting for it can still be stopped: the Stop button
    // ends the query and the scan, as stopped.
    void stopWhileTheRegistryIsUnreachable()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        writeFile(folder.filePath(QStringLiteral("a.txt")), "waits for the registry");
        RegistryTestServer server;
        QVERIFY(server.listen());
        QVERIFY(server.setRefusing(true));
        qputenv("WINORVEX_REGISTRY", server.address());

        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.findChild<MainTabBar *>()->setCurrentIndex(MainWindow::FilesPage);
        FileTab *tab = window.fileTab();
        auto *panel = window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget_network"));
        auto *stop =
            tab->findChild<QPushButton *>(QStringLiteral("pushButton_file_stop_drive_scan"));
        auto *results = tab->findChild<QWidget *>(QStringLiteral("page_files"));
        auto *summaryPage = window.findChild<QWidget *>(QStringLiteral("page_summary"));
        QVERIFY(stop && results && summaryPage);
        QSignalSpy aborted(tab, &FileTab::fileScanAborted);
        QSignalSpy finished(tab, &FileTab::fileScanFinished);

        tab->handleFilesAndDirectoriesDrop({QFileInfo(folder.path())});
        QTRY_VERIFY_WITH_TIMEOUT(!panel->isHidden(), 20000);
        QVERIFY(!summaryPage->isEnabled());
        QVERIFY(!results->isEnabled());
        QVERIFY(stop->isVisible());
        QVERIFY(stop->isEnabled());

        QTest::mouseClick(stop, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(aborted.count(), 1, 20000);
        QCOMPARE(finished.count(), 0);
        // Nothing was answered, so nothing stays.
        QCOMPARE(tab->fileModel()->rowCount(), 0);
        QTRY_VERIFY(panel->isHidden());
        QVERIFY(summaryPage->isEnabled());
        QVERIFY(results->isEnabled());
        auto *summary = tab->findChild<QLabel *>(QStringLiteral("label_summary"));
        QVERIFY(summary);
        const QString sentence = QTextDocumentFragment::fromHtml(summary->text()).toPlainText();
        QVERIFY2(sentence.startsWith(QStringLiteral("The Full Scan of the directory \"%1\" was "
                                                    "aborted after ")
                                         .arg(folder.path())),
                 qPrintable(sentence));
        QVERIFY(window.findChild<QAction *>(QStringLiteral("actionScan_Files"))->isEnabled());
    }
};

QTEST_MAIN(TestMainWindowFiles)
#include "tst_mainwindowfiles.moc"
