#include "app/mainwindow.h"
#include "fakeplatforminfo.h"
#include "files/filetab.h"
#include "processes/processmonitor.h"
#include "testenvironment.h"
#include "widgets/maintabbar.h"
#include "widgets/spinnerwidget.h"

#include <QtTest>

#include <QFrame>
#include <QLabel>
#include <QSqlDatabase>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTabBar>

namespace {
template <typename T> T *child(QWidget *window, const char *name)
{
    T *found = window->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("missing child %s", name);
    return found;
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

    // Must run first: the administrator bar is shown at most once per run.
    void administratorBarShownOncePerRun()
    {
        FakePlatformInfo user(0x0601, /*administrator=*/false);
        MainWindow first;
        QVERIFY(!child<QFrame>(&first, "frame_admin_info")->isHidden());
        MainWindow second;
        QVERIFY(child<QFrame>(&second, "frame_admin_info")->isHidden());
    }

    void administratorBarHiddenForAdministrators()
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

    void trayRoundTrip()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *tray = window.findChild<QSystemTrayIcon *>();
        QVERIFY(tray);

        // A visible window is left alone by an alert.
        QTest::ignoreMessage(QtDebugMsg, "MainWindow::showAlert() called");
        window.showAlert();
        QVERIFY(window.isVisible());
        QVERIFY(!tray->isVisible());

        window.runMinimized(false);
        QVERIFY(window.isHidden());
        QVERIFY(tray->isVisible());

        window.showAlert();
        QVERIFY(window.isVisible());
        QVERIFY(!tray->isVisible());
        QCOMPARE(window.windowFlags() & MainWindow::savedWindowFlagsDefault(),
                 MainWindow::savedWindowFlagsDefault());
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
