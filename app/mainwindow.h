#pragma once

#include "ui_mainwindow.h"

#include <QMainWindow>

class OrvexCache;
class FileTab;
class MainTabBar;
class ProcessMonitor;
class WinTrayHandler;

// The single top-level window: page stack, information bars, network panel and
// the owner of every long-lived object.
class MainWindow : public QMainWindow, protected Ui::MainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    FileTab *fileTab() const { return m_fileTab; }
    ProcessMonitor *processMonitor() const { return m_processMonitor; }

    // The flags restored when the window comes back from the tray.
    static Qt::WindowFlags savedWindowFlagsDefault();

    // Pages of the stack, in tab order.
    enum Page { SummaryPage = 0, ProcessesPage = 1, FilesPage = 2, RemovingMalwarePage = 3 };

public Q_SLOTS:
    void runMaximized();
    void runMinimized(bool showMessage = true);
    void showAlert();

protected Q_SLOTS:
    void queryOrvex(QList<QString> digests);
    void showInsufficientPrivilegesInfo();
    void show64BitHelp();
    void runAsAdministrator();
    void userVisitOnlineHelp();
    void userSeeEULA();
    void handleFileScanStarted();
    void handleFileScanAborted();
    void handleFileScanFinished(bool);
    void displayNetworkError(const QString &message);
    void clearNetworkError();
    void handleAutomaticReconnectFailed();

protected:
    bool event(QEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;

private:
    void createDatabase();
    void addPage(const QString &objectName);
    void setPagesEnabled(bool enabled);

    Qt::WindowFlags m_savedWindowFlags;
    OrvexCache *m_orvexCache = nullptr;
    FileTab *m_fileTab = nullptr;
    ProcessMonitor *m_processMonitor = nullptr;
    WinTrayHandler *m_trayHandler = nullptr;
    MainTabBar *m_tabBar = nullptr;
    // Process-wide: the administrator bar is shown at most once per run, and the
    // tray balloon explains the minimised state only at the first minimise.
    static bool s_adminInfoShown;
    static bool s_minimizeMessagePending;
};
