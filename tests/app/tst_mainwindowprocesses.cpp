#include "app/mainwindow.h"
#include "fakeplatforminfo.h"
#include "fakerunningprocesses.h"
#include "files/userprompt.h"
#include "platform/clock.h"
#include "processes/processmonitor.h"
#include "processes/processsqlmodel.h"
#include "registry/orvextab.h"
#include "services/fpdialog.h"
#include "services/softwareupdater.h"
#include "testenvironment.h"
#include "views/processtab.h"
#include "views/removemalwaretab.h"
#include "widgets/maintabbar.h"
#include "widgets/spinnerwidget.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QLabel>
#include <QStackedWidget>

class TestMainWindowProcesses : public QObject
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
        ProcessMonitor::setTestMonitoringEnabled(false);
        Clock::resetTestSeam();
        UserPrompt::takeShown();
        UserPrompt::setScripted(false);
    }

    void tabsArePlacedAndWired()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        auto *stack = window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
        QVERIFY(stack);
        QCOMPARE(stack->widget(MainWindow::ProcessesPage), window.processTab());
        QCOMPARE(stack->widget(MainWindow::RemovingMalwarePage), window.removeMalwareTab());
        QVERIFY(qobject_cast<OrvexTab *>(window.processTab()));
        QCOMPARE(window.processTab()->monitor(), window.processMonitor());

        // The tab bar's spinner and alert icon follow the tab.
        auto *bar = window.findChild<MainTabBar *>();
        QVERIFY(bar);
        QVERIFY(bar->tabIcon(MainWindow::ProcessesPage).isNull() ||
                bar->tabIcon(MainWindow::ProcessesPage).pixmap(16).toImage() !=
                    QIcon(QStringLiteral(":/warning_16x16.png")).pixmap(16).toImage());
        Q_EMIT window.processTab()->processScanStarted();
        auto *spinner = qobject_cast<SpinnerWidget *>(
            bar->tabButton(MainWindow::ProcessesPage, QTabBar::RightSide));
        QVERIFY(spinner);
        QVERIFY(spinner->isAnimated());
        Q_EMIT window.processTab()->processScanFinished();
        QVERIFY(!spinner->isAnimated());
        const QIcon before = bar->tabIcon(MainWindow::ProcessesPage);
        Q_EMIT window.processTab()->malwareProcessFound(QStringLiteral("/evil"), 7);
        QVERIFY(bar->tabIcon(MainWindow::ProcessesPage).cacheKey() != before.cacheKey());
    }

    // Snapshots come every 20 ms; the window is closed while merges and the
    // populator are under way, and must not wait on them for ever.
    // The inspector's report link opens the report dialog on the process's record.
    void inspectorReportOpensTheReportDialog()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        const QString md5(32, QLatin1Char('a'));
        const QString sha1(40, QLatin1Char('b'));
        const QString path = QStringLiteral("/opt/tool|v2/bin/tool");
        QString shownFile;
        QString shownMd5;
        QTimer driver;
        driver.setInterval(10);
        QDeadlineTimer deadline(20000);
        connect(&driver, &QTimer::timeout, &window, [&] {
            auto *dialog = window.findChild<FPDialog *>();
            if (!dialog || !dialog->isVisible()) {
                if (deadline.hasExpired())
                    driver.stop();
                return;
            }
            shownFile = dialog->findChild<QLabel *>(QStringLiteral("label_file"))->text();
            shownMd5 = dialog->findChild<QLabel *>(QStringLiteral("label_md5"))->text();
            dialog->reject();
        });
        driver.start();
        Q_EMIT window.processTab()->falsePositiveReportRequested(md5 + '|' + sha1 + '|' + path);
        driver.stop();
        QCOMPARE(shownFile, path);
        QCOMPARE(shownMd5, md5);
    }

    void closesWhileMerging()
    {
        FakePlatformInfo info(0x0601, true);
        FakeRunningProcesses fake;
        QList<ProcStat> processes;
        for (quint32 pid = 4000000; pid < 4003000; ++pid)
            processes << FakeRunningProcesses::process(pid, "busy" + QByteArray::number(pid), 1);
        fake.setSnapshot(processes);
        ProcessMonitor::setTestMonitoringEnabled(true);
        auto *window = new MainWindow;
        QSignalSpy started(window->processTab(), &ProcessTab::processScanStarted);
        QVERIFY(started.wait(30000));
        // The next snapshot is being taken or merged.
        const int calls = fake.listCalls();
        QTRY_VERIFY_WITH_TIMEOUT(fake.listCalls() > calls, 30000);
        QCOMPARE(window->processTab()->processCountLabel()->text(),
                 QStringLiteral("3000 Processes"));
        QElapsedTimer closing;
        closing.start();
        delete window;
        QVERIFY2(closing.elapsed() < 20000, qPrintable(QString::number(closing.elapsed())));
    }
};

QTEST_MAIN(TestMainWindowProcesses)
#include "tst_mainwindowprocesses.moc"
