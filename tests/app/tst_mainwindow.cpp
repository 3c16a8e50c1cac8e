#include "app/documentdialog.h"
#include "app/mainwindow.h"
#include "fakepkexec.h"
#include "fakeplatforminfo.h"
#include "faketray.h"
#include "files/filetab.h"
#include "files/userprompt.h"
#include "platform/clock.h"
#include "platform/elevation.h"
#include "processes/processmonitor.h"
#include "registrytestserver.h"
#include "services/fpdialog.h"
#include "services/sendfeedbackdialog.h"
#include "testenvironment.h"
#include "widgets/maintabbar.h"
#include "widgets/spinnerwidget.h"

#include <QtTest>

#include <QAbstractButton>
#include <QFrame>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSqlDatabase>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTextBrowser>

namespace {
template <typename T> T *child(QWidget *window, const char *name)
{
    T *found = window->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("missing child %s", name);
    return found;
}

QStringList shownPrompts()
{
    QStringList shown;
    for (const UserPrompt::Shown &prompt : UserPrompt::takeShown())
        shown << prompt.title + QLatin1Char('|') + prompt.text;
    return shown;
}
} // namespace

class TestMainWindow : public QObject
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

    void init() { UserPrompt::setScripted(true); }

    void cleanup()
    {
        UserPrompt::takeShown();
        UserPrompt::setScripted(false);
        qunsetenv("WINORVEX_REGISTRY");
    }

    // Must run first: the administrator bar is shown at most once per run.
    // It speaks of processes: a user who is not root sees it only once
    // process monitoring has met a process it may not inspect.
    void administratorBarShownOnceWhenAProcessIsDenied()
    {
        FakePlatformInfo user(0x0601, /*administrator=*/false);
        MainWindow first;
        auto *bar = child<QFrame>(&first, "frame_admin_info");
        QVERIFY(bar->isHidden());
        Q_EMIT first.processMonitor()->privilegesNotSufficient();
        QVERIFY(!bar->isHidden());
        Q_EMIT child<QLabel>(&first, "label_hide_admin")
            ->linkActivated(QStringLiteral("#hide_admin_info"));
        QVERIFY(bar->isHidden());
        Q_EMIT first.processMonitor()->privilegesNotSufficient();
        QVERIFY(bar->isHidden());

        MainWindow second;
        Q_EMIT second.processMonitor()->privilegesNotSufficient();
        QVERIFY(child<QFrame>(&second, "frame_admin_info")->isHidden());
    }

    void administratorBarHiddenAtStart()
    {
        FakePlatformInfo root(0x0601, /*administrator=*/true);
        MainWindow window;
        QVERIFY(child<QFrame>(&window, "frame_admin_info")->isHidden());
    }

    void startupLogAndVersion_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("line");
        QTest::newRow("6.1") << 0x0601 << "Windows version 0x0601";
        QTest::newRow("small") << 48 << "Windows version 0x0030";
        QTest::newRow("unknown") << 0 << "Windows version 0x0000";
    }
    void startupLogAndVersion()
    {
        QFETCH(int, code);
        QFETCH(QString, line);
        FakePlatformInfo info(code, true);
        QTest::ignoreMessage(QtDebugMsg, "WinOrvex version beta 2");
        QTest::ignoreMessage(QtDebugMsg, line.toLatin1().constData());
        MainWindow window;
        QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("beta 2"));
    }

    void databaseAndQueuedTypes()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QSqlDatabase db = QSqlDatabase::database();
        QVERIFY(db.isOpen());
        QCOMPARE(db.driverName(), QStringLiteral("QSQLITE"));
        QCOMPARE(db.databaseName(), QStringLiteral(":memory:"));
        for (const char *type :
             {"QList<QString>", "QList<QFileInfo>", "QVariant", "QList<quint32>"})
            QVERIFY2(QMetaType::fromName(type).isValid(), type);
    }

    void panelsAtStartup()
    {
        FakePlatformInfo info(0x0601, true, /*windows64=*/false);
        MainWindow window;
        QVERIFY(child<QFrame>(&window, "frame_64_info")->isHidden());
        auto *network = child<QStackedWidget>(&window, "stackedWidget_network");
        QVERIFY(network->isHidden());
        QCOMPARE(network->currentIndex(), 1);

        FakePlatformInfo windows64(0x0601, true, /*windows64=*/true);
        MainWindow onWindows64;
        QVERIFY(!child<QFrame>(&onWindows64, "frame_64_info")->isHidden());
    }

    void dismissHidesOnlyItsBar()
    {
        FakePlatformInfo info(0x0601, true, true);
        MainWindow window;
        auto *bar64 = child<QFrame>(&window, "frame_64_info");
        auto *admin = child<QFrame>(&window, "frame_admin_info");
        admin->show();
        Q_EMIT child<QLabel>(&window, "label_hide_64")
            ->linkActivated(QStringLiteral("#hide_admin_info"));
        QVERIFY(bar64->isHidden());
        QVERIFY(!admin->isHidden());
    }

    void fourTabsMatchThePageStack()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        auto *bar = window.findChild<MainTabBar *>();
        QVERIFY(bar);
        auto *stack = child<QStackedWidget>(&window, "stackedWidget");
        QCOMPARE(stack->count(), 4);
        const QStringList labels{"Summary", "Processes", "Files", "Removing Malware"};
        QCOMPARE(bar->count(), labels.size());
        for (int i = 0; i < labels.size(); ++i) {
            QCOMPARE(bar->tabText(i), labels.at(i));
            bar->setCurrentIndex(i);
            QCOMPARE(stack->currentIndex(), i);
        }
        QVERIFY(!bar->expanding());
        QVERIFY(!bar->drawBase());
    }

    void numberKeysSelectTabs_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<int>("page");
        QTest::newRow("1") << int(Qt::Key_1) << Qt::KeyboardModifiers() << 0;
        QTest::newRow("3") << int(Qt::Key_3) << Qt::KeyboardModifiers() << 2;
        QTest::newRow("4 with ctrl")
            << int(Qt::Key_4) << Qt::KeyboardModifiers(Qt::ControlModifier) << 3;
        QTest::newRow("5 changes nothing") << int(Qt::Key_5) << Qt::KeyboardModifiers() << 1;
        QTest::newRow("letter changes nothing") << int(Qt::Key_A) << Qt::KeyboardModifiers() << 1;
    }
    void numberKeysSelectTabs()
    {
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(int, page);
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        auto *stack = child<QStackedWidget>(&window, "stackedWidget");
        window.findChild<QTabBar *>()->setCurrentIndex(1);
        QTest::keyClick(&window, Qt::Key(key), modifiers);
        QCOMPARE(stack->currentIndex(), page);
    }

    void minimisingFollowsTheTray_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::newRow("tray") << true;
        QTest::newRow("no tray") << false;
    }
    void minimisingFollowsTheTray()
    {
        QFETCH(bool, tray);
        FakePlatformInfo info(0x0601, true);
        FakeTray desktop(tray);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *icon = window.findChild<QSystemTrayIcon *>();
        QVERIFY(icon);

        // A visible window is left alone by an alert.
        QTest::ignoreMessage(QtDebugMsg, "MainWindow::showAlert() called");
        window.showAlert();
        QVERIFY(window.isVisible());
        QVERIFY(!icon->isVisible());

        // "/minimize" at log-in: into the tray, or where there is none, minimised
        // in the task bar, never out of reach.
        window.runMinimized(false);
        QCOMPARE(window.isHidden(), tray);
        QCOMPARE(icon->isVisible(), tray);
        QCOMPARE(window.isMinimized(), !tray);

        window.showAlert();
        QVERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());
        QVERIFY(!icon->isVisible());
        QCOMPARE(window.windowFlags() & MainWindow::savedWindowFlagsDefault(),
                 MainWindow::savedWindowFlagsDefault());

        // The user minimises the window.
        window.setWindowState(Qt::WindowMinimized);
        QTRY_VERIFY(window.isHidden() == tray);
        QCOMPARE(icon->isVisible(), tray);
        if (!tray)
            QVERIFY(window.isMinimized());
    }

    void fittedSize_data()
    {
        QTest::addColumn<QSize>("designed");
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<QSize>("fitted");
        const QSize designed(863, 927);
        const QSize frame(10, 40);
        QTest::newRow("large screen") << designed << QRect(0, 0, 1920, 1050) << frame << designed;
        QTest::newRow("exactly") << designed << QRect(0, 0, 873, 967) << frame << designed;
        QTest::newRow("900 pixels high")
            << designed << QRect(0, 27, 1600, 873) << frame << QSize(863, 833);
        QTest::newRow("1366 x 768")
            << designed << QRect(0, 0, 1366, 728) << frame << QSize(863, 688);
        QTest::newRow("scale 2 on 1366 x 768")
            << designed << QRect(0, 0, 683, 364) << frame << QSize(673, 324);
        QTest::newRow("smaller than the frame")
            << designed << QRect(0, 0, 5, 5) << frame << QSize(1, 1);
    }
    void fittedSize()
    {
        QFETCH(QSize, designed);
        QFETCH(QRect, available);
        QFETCH(QSize, frame);
        QFETCH(QSize, fitted);
        QCOMPARE(MainWindow::fittedSize(designed, available, frame), fitted);
    }

    void windowFitsItsScreen()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        const QRect available = window.screen()->availableGeometry();
        // The offscreen screen is smaller than the designed size.
        QVERIFY(available.height() < 927);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY2(available.contains(window.frameGeometry()),
                 qPrintable(QStringLiteral("%1,%2 %3x%4")
                                .arg(window.frameGeometry().x())
                                .arg(window.frameGeometry().y())
                                .arg(window.frameGeometry().width())
                                .arg(window.frameGeometry().height())));
    }

    void tabsFitTheSmallestFittedWindow()
    {
        // 1366 x 768 at a scale factor of 2 leaves a window of 673 x 324, with
        // text as large as a desktop's (the offscreen platform's is smaller).
        FakePlatformInfo info(0x0601, true);
        const QFont font = QApplication::font();
        const auto restoreFont = qScopeGuard([font] { QApplication::setFont(font); });
        QFont desktop = font;
        desktop.setPixelSize(12);
        QApplication::setFont(desktop);
        MainWindow window;
        window.resize(MainWindow::fittedSize(window.size(), QRect(0, 0, 683, 364), QSize(10, 40)));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *bar = window.findChild<MainTabBar *>();
        // Every tab whole: no scroll arrows, no cut label.
        QTRY_VERIFY2(
            bar->sizeHint().width() <= bar->width(),
            qPrintable(QStringLiteral("%1 > %2").arg(bar->sizeHint().width()).arg(bar->width())));
        QVERIFY(bar->tabRect(MainWindow::RemovingMalwarePage).right() < bar->width());
    }

    void menusAndButtonsHaveTheirOwnMnemonics()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.findChild<QTabBar *>()->setCurrentIndex(MainWindow::FilesPage);
        QStringList owners;
        QList<QKeySequence> keys;
        const auto add = [&](const QString &owner, const QString &text) {
            const QKeySequence key = QKeySequence::mnemonic(text);
            if (key.isEmpty())
                return;
            const int taken = keys.indexOf(key);
            QVERIFY2(taken < 0, qPrintable(QStringLiteral("%1 and %2 share %3")
                                               .arg(owners.value(taken), owner, key.toString())));
            owners << owner;
            keys << key;
        };
        for (QAction *menu : window.menuBar()->actions())
            add(menu->text(), menu->text());
        for (QAbstractButton *button : window.fileTab()->findChildren<QAbstractButton *>())
            add(button->objectName(), button->text());
        QVERIFY(keys.contains(QKeySequence(Qt::ALT | Qt::Key_F)));
    }

    // Nothing of the window is a placeholder after start-up: every menu entry
    // is enabled and every tab has a page of its own.
    void everyEntryAndTabWorksAfterStartUp()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        int entries = 0;
        for (QAction *menuAction : window.menuBar()->actions()) {
            QVERIFY(menuAction->menu());
            QVERIFY2(menuAction->isEnabled(), qPrintable(menuAction->text()));
            for (QAction *action : menuAction->menu()->actions()) {
                if (action->isSeparator())
                    continue;
                ++entries;
                QVERIFY2(action->isEnabled(), qPrintable(action->objectName()));
            }
        }
        QCOMPARE(entries, 10);
        auto *pages = window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
        QVERIFY(pages);
        QCOMPARE(pages->count(), 4);
        for (int i = 0; i < pages->count(); ++i)
            QVERIFY2(!pages->widget(i)->findChildren<QWidget *>().isEmpty(),
                     qPrintable(pages->widget(i)->objectName()));
    }

    void keyboardReachesTheFileMenuAndTheScanButton()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.findChild<QTabBar *>()->setCurrentIndex(MainWindow::FilesPage);

        auto *scanFiles = child<QPushButton>(&window, "pushButton_file_load_files");
        QSignalSpy clicked(scanFiles, &QAbstractButton::clicked);
        UserPrompt::setScriptedFiles({}); // the file dialog is cancelled
        QTest::keyClick(&window, Qt::Key_I, Qt::AltModifier);
        // A mnemonic clicks the button the way a mouse would, press then release.
        QTRY_COMPARE(clicked.count(), 1);

        auto *fileMenu = child<QMenu>(&window, "menuFile");
        QTest::keyClick(&window, Qt::Key_F, Qt::AltModifier);
        QTRY_VERIFY(fileMenu->isVisible());
        fileMenu->close();
    }

    void quitHasTheStandardKey()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        auto *quit = child<QAction>(&window, "actionQuit");
        // The platform's own key where its theme has one (Ctrl+Q on Linux
        // desktops), Ctrl+Q where it has none (the offscreen platform).
        const QList<QKeySequence> platform = QKeySequence::keyBindings(QKeySequence::Quit);
        QCOMPARE(quit->shortcuts(), platform.isEmpty()
                                        ? QList<QKeySequence>{QKeySequence(Qt::CTRL | Qt::Key_Q)}
                                        : platform);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keySequence(&window, quit->shortcut());
        QTRY_VERIFY(window.isHidden());
    }

    void commandLinePaths_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QStringList>("missing");
        QTest::addColumn<QStringList>("prompts");
        const QString one = "Scan Files|This file or folder does not exist and was not "
                            "scanned:\n\n/nowhere/a.exe";
        const QString two = "Scan Files|These files or folders do not exist and were not "
                            "scanned:\n\n/nowhere/a.exe\n/nowhere/b c";
        QTest::newRow("existing") << QStringList{"a.txt", "b.txt"} << QStringList{}
                                  << QStringList{};
        QTest::newRow("one missing")
            << QStringList{"a.txt"} << QStringList{"/nowhere/a.exe"} << QStringList{one};
        QTest::newRow("two missing, named once")
            << QStringList{"a.txt"} << QStringList{"/nowhere/a.exe", "/nowhere/b c"}
            << QStringList{two};
        QTest::newRow("only missing")
            << QStringList{} << QStringList{"/nowhere/a.exe", "/nowhere/b c"} << QStringList{two};
    }
    void commandLinePaths()
    {
        QFETCH(QStringList, existing);
        QFETCH(QStringList, missing);
        QFETCH(QStringList, prompts);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        QList<QFileInfo> items;
        for (const QString &name : existing) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            items << QFileInfo(file.fileName());
        }
        RegistryTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_REGISTRY", server.address());
        Clock::setTestWaitDivisor(50);
        const auto designedWaits = qScopeGuard([] { Clock::resetTestSeam(); });

        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        auto *stack = child<QStackedWidget>(&window, "stackedWidget");
        QCOMPARE(stack->currentIndex(), int(MainWindow::SummaryPage));
        QSignalSpy started(window.fileTab(), &FileTab::fileScanStarted);
        QSignalSpy finished(window.fileTab(), &FileTab::fileScanFinished);

        window.openCommandLinePaths(items, missing);

        QCOMPARE(stack->currentIndex(), int(MainWindow::FilesPage));
        QCOMPARE(shownPrompts(), prompts);
        if (items.isEmpty()) {
            QVERIFY(!window.fileTab()->isScanRunning());
            QCOMPARE(started.count(), 0);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QCOMPARE(server.requestCount(), 1);
    }

    void noPathsLeaveTheSummaryInFront()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.openCommandLinePaths({}, {});
        QCOMPARE(child<QStackedWidget>(&window, "stackedWidget")->currentIndex(),
                 int(MainWindow::SummaryPage));
        QVERIFY(UserPrompt::takeShown().isEmpty());
    }

    void scanAllProcessesClosesOnlyOnceElevated_data()
    {
        QTest::addColumn<QByteArray>("pkexec");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<QString>("prompt");
        const QString refused = "Scan All Processes|The authentication was cancelled or refused. "
                                "WinOrvex keeps running without administrator rights.";
        QTest::newRow("elevated instance runs")
            << "printf '%s\\n' '" + Elevation::startedLine() + "'\n"
            << true << QString();
        QTest::newRow("dialog dismissed") << QByteArray("exit 126\n") << false << refused;
        QTest::newRow("not authorised") << QByteArray("exit 127\n") << false << refused;
        QTest::newRow("ended early")
            << QByteArray("exit 1\n") << false
            << "Scan All Processes|WinOrvex with administrator rights ended before it opened its "
               "window (exit status 1). WinOrvex keeps running without administrator rights.";
        QTest::newRow("no pkexec")
            << QByteArray() << false
            << "Scan All Processes|WinOrvex could not ask for administrator rights (pkexec is not "
               "installed). WinOrvex keeps running without administrator rights.";
    }
    void scanAllProcessesClosesOnlyOnceElevated()
    {
        QFETCH(QByteArray, pkexec);
        QFETCH(bool, closes);
        QFETCH(QString, prompt);
        FakePkexec fake(pkexec);
        FakePlatformInfo user(0x0601, /*administrator=*/false);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *button = child<QPushButton>(&window, "pushButton_runas");
        if (!closes)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("^MainWindow::runAsAdministrator"));

        button->click();

        if (closes) {
            QTRY_VERIFY_WITH_TIMEOUT(window.isHidden(), 10000);
            QVERIFY(UserPrompt::takeShown().isEmpty());
            return;
        }
        QStringList shown;
        QTRY_VERIFY_WITH_TIMEOUT(!(shown << shownPrompts()).isEmpty(), 10000);
        QCOMPARE(shown, QStringList{prompt});
        QVERIFY(window.isVisible());
        QVERIFY(button->isEnabled());
    }

    void scanAllProcessesAsksOnceAtATime()
    {
        // pkexec waits for the password; a second click must not ask again.
        FakePkexec fake("read line\nexit 126\n");
        FakePlatformInfo user(0x0601, false);
        MainWindow window;
        auto *button = child<QPushButton>(&window, "pushButton_runas");
        button->click();
        QVERIFY(!button->isEnabled());
        QMetaObject::invokeMethod(&window, "runAsAdministrator");
        QCOMPARE(window.findChildren<Elevation *>().size(), 1);
    }

    void helpAndLicenseAreShippedWithTheProgram_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("help") << "actionHelp"
                              << "WinOrvex Help"
                              << "WINORVEX_REGISTRY";
        QTest::newRow("licence") << "actionEULA"
                                 << "License Agreement"
                                 << "GNU GENERAL PUBLIC LICENSE";
    }
    void helpAndLicenseAreShippedWithTheProgram()
    {
        QFETCH(QString, action);
        QFETCH(QString, title);
        QFETCH(QString, text);
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.findChild<QAction *>(action)->trigger();
        QList<DocumentDialog *> dialogs = window.findChildren<DocumentDialog *>();
        QCOMPARE(dialogs.size(), 1);
        QVERIFY(dialogs.first()->isVisible());
        QCOMPARE(dialogs.first()->windowTitle(), title);
        QVERIFY2(dialogs.first()->browser()->toPlainText().contains(text),
                 qPrintable(dialogs.first()->browser()->toPlainText().left(200)));
        // Asking again brings the same window to the front.
        window.findChild<QAction *>(action)->trigger();
        QCOMPARE(window.findChildren<DocumentDialog *>(), dialogs);
    }

    void f1OpensTheHelp()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_F1);
        QTRY_COMPARE(window.findChildren<DocumentDialog *>().size(), 1);
        QCOMPARE(window.findChild<DocumentDialog *>()->windowTitle(),
                 QStringLiteral("WinOrvex Help"));
    }

    void networkPanelFollowsTheHandler()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        auto *panel = child<QStackedWidget>(&window, "stackedWidget_network");
        // The pages are off, except what stops a scan waiting for the registry.
        auto *summaryPage = child<QWidget>(&window, "page_summary");
        auto *results = child<QWidget>(window.fileTab(), "page_files");
        auto *stop = child<QWidget>(window.fileTab(), "pushButton_file_stop_drive_scan");
        auto *status = child<QLabel>(&window, "label_orvex_com_status");
        auto *spinner = child<SpinnerWidget>(&window, "label_reconnecting_spinner");
        QCOMPARE(spinner->color(), QColor(Qt::white));
        QVERIFY(!spinner->isAnimated());

        QTest::ignoreMessage(
            QtDebugMsg, "MainWindow::displayNetworkError( Attempting to reconnect... ) called");
        QMetaObject::invokeMethod(&window, "displayNetworkError",
                                  Q_ARG(QString, QStringLiteral("Attempting to reconnect...")));
        QVERIFY(!panel->isHidden());
        QCOMPARE(panel->currentWidget()->objectName(), QStringLiteral("page_net_retry"));
        QCOMPARE(status->text(), QStringLiteral("Attempting to reconnect..."));
        QVERIFY(!summaryPage->isEnabled() && !results->isEnabled());
        QVERIFY(stop->isEnabled());
        QVERIFY(spinner->isAnimated());

        QMetaObject::invokeMethod(&window, "handleAutomaticReconnectFailed");
        QCOMPARE(panel->currentWidget()->objectName(), QStringLiteral("page_net_failed"));
        QVERIFY(!summaryPage->isEnabled() && !results->isEnabled());
        QVERIFY(stop->isEnabled());

        // The next connection message brings the retry page back.
        QMetaObject::invokeMethod(
            &window, "displayNetworkError",
            Q_ARG(QString, QStringLiteral("Could not connect to the malware database.")));
        QCOMPARE(panel->currentWidget()->objectName(), QStringLiteral("page_net_retry"));

        QTest::ignoreMessage(QtDebugMsg, "MainWindow::clearNetworkError() called");
        QMetaObject::invokeMethod(&window, "clearNetworkError");
        QVERIFY(panel->isHidden());
        QVERIFY(summaryPage->isEnabled() && results->isEnabled());
        QVERIFY(status->text().isEmpty());
        QVERIFY(!spinner->isAnimated());
    }

    void networkPanelTakesTheHeightOfItsText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("one line") << "Attempting to reconnect...";
        QTest::newRow("long") << "Could not connect to registry.winorvex.invalid:43: the host "
                                 "name was not found. Attempting to reconnect (attempt 3 of 6) in "
                                 "10 seconds; files and processes are checked once the malware "
                                 "database answers again.";
    }
    void networkPanelTakesTheHeightOfItsText()
    {
        QFETCH(QString, message);
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.resize(700, 560);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QMetaObject::invokeMethod(&window, "displayNetworkError", Q_ARG(QString, message));
        auto *panel = child<QStackedWidget>(&window, "stackedWidget_network");
        auto *status = child<QLabel>(&window, "label_orvex_com_status");
        QTRY_VERIFY(panel->isVisible());
        // Every word of the message is shown, wrapped rather than cut, once the
        // layouts have taken the new text.
        QTRY_VERIFY2(status->height() >= status->heightForWidth(status->width()),
                     qPrintable(QStringLiteral("%1 < %2")
                                    .arg(status->height())
                                    .arg(status->heightForWidth(status->width()))));
        QCOMPARE(status->text(), message);
        QVERIFY(status->wordWrap());
        QVERIFY(status->geometry().right() < panel->width());
        // Only as high as its content: the tabs above keep the room.
        QVERIFY2(panel->height() <= window.height() / 4,
                 qPrintable(QString::number(panel->height())));
        const int content = panel->heightForWidth(panel->width());
        QVERIFY2(panel->height() <= content,
                 qPrintable(QStringLiteral("%1 > %2").arg(panel->height()).arg(content)));
    }

    void feedbackEntryOpensTheFeedbackDialog()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        auto *feedback = window.findChild<QAction *>(QStringLiteral("actionSend_Us_Feedback"));
        QVERIFY(feedback->isEnabled());
        // The dialog runs modally: note it and close it once it is up.
        QString title;
        QTimer closer;
        closer.setInterval(10);
        connect(&closer, &QTimer::timeout, &window, [&] {
            auto *dialog = window.findChild<SendFeedbackDialog *>();
            if (dialog && dialog->isVisible()) {
                title = dialog->windowTitle();
                dialog->reject();
            }
        });
        closer.start();
        feedback->trigger();
        closer.stop();
        QCOMPARE(title, QStringLiteral("Send Feedback"));
        QVERIFY(window.findChildren<SendFeedbackDialog *>().isEmpty());
    }

    void malformedReportRecordOpensNothing()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QTest::ignoreMessage(QtWarningMsg,
                             "FPDialog::confirmSendReport() couldn't unpack the data!");
        // A dialog that ran would block here until closed.
        window.userReportFalsePositive(QStringLiteral("||/bin/true"));
        QVERIFY(window.findChildren<FPDialog *>().isEmpty());
    }

    void quitClosesTheWindow()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *quit = window.findChild<QAction *>(QStringLiteral("actionQuit"));
        QVERIFY(quit && quit->isEnabled());
        quit->trigger();
        QVERIFY(window.isHidden());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
