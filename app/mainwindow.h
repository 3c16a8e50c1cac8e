#pragma once

#include "ui_mainwindow.h"

#include <QDomDocument>
#include <QFileInfo>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QVariant>

class DocumentDialog;
class Elevation;
class OrvexCache;
class FileTab;
class MainTabBar;
class Preferences;
class ProcessMonitor;
class ProcessTab;
class RemoveMalwareTab;
class SoftwareUpdater;
class SummaryTab;
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
    ProcessTab *processTab() const { return m_processTab; }
    RemoveMalwareTab *removeMalwareTab() const { return m_removeMalwareTab; }
    SummaryTab *summaryTab() const { return m_summaryTab; }
    SoftwareUpdater *softwareUpdater() const { return m_softwareUpdater; }
    Preferences *preferencesDialog() const { return m_preferencesDialog; }
    QDomDocument preferencesDocument() const { return m_preferences; }

    // Reads Preferences.xml into the preferences document and puts it into
    // effect: false, leaving the defaults, when the file cannot be read.
    bool loadPreferences();
    // Writes the preferences document, with the window's own settings, whole.
    void savePreferences();
    // At start-up: the preferences from the file, or where there is none (or
    // it cannot be read) the defaults, which check for updates at once.
    void loadStartupPreferences();

    // The flags restored when the window comes back from the tray.
    static Qt::WindowFlags savedWindowFlagsDefault();

    // The window's size: the designed one where it fits in the screen's free
    // area less the window frame, otherwise as much of it as fits.
    static QSize fittedSize(const QSize &designed, const QRect &available, const QSize &frame);

    // Files and folders named on the command line: the Files tab comes to the
    // front and scans the existing ones; the missing ones are named in one message.
    void openCommandLinePaths(const QList<QFileInfo> &items, const QStringList &missing);

    // Pages of the stack, in tab order.
    enum Page { SummaryPage = 0, ProcessesPage = 1, FilesPage = 2, RemovingMalwarePage = 3 };

public Q_SLOTS:
    void userOpenPreferencesDialog();
    void runMaximized();
    void runMinimized(bool showMessage = true);
    void userShowAbout();
    void showAlert();
    // Opens the false-positive report dialog on a record "<md5>|<sha1>|<path>"
    // (the Files tab's action, the process inspector's link); a malformed record
    // opens nothing.
    void userReportFalsePositive(QString packedData);

protected Q_SLOTS:
    void queryOrvex(QList<QString> digests);
    void handleSummaryLinkClick(const QString &link);
    void userCheckForUpdates();
    void handleUserPreference(int preference, const QVariant &value);
    void showInsufficientPrivilegesInfo();
    void show64BitHelp();
    void runAsAdministrator();
    void userSendFeedback();
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
    void createSummaryTab();
    void connectSummaryTab();
    void connectServiceDialogs();
    void createPreferencesDialog();
    void createProcessTab();
    void connectProcessTab();
    void createRemoveMalwareTab();
    void setPagesEnabled(bool enabled);
    void fitToScreen();
    void showDocument(QPointer<DocumentDialog> &dialog, const QString &title,
                      const QString &resource);
    void elevationEnded(const QString &text);

    Qt::WindowFlags m_savedWindowFlags;
    QDomDocument m_preferences;
    SoftwareUpdater *m_softwareUpdater = nullptr;
    OrvexCache *m_orvexCache = nullptr;
    SummaryTab *m_summaryTab = nullptr;
    FileTab *m_fileTab = nullptr;
    ProcessMonitor *m_processMonitor = nullptr;
    ProcessTab *m_processTab = nullptr;
    RemoveMalwareTab *m_removeMalwareTab = nullptr;
    WinTrayHandler *m_trayHandler = nullptr;
    Preferences *m_preferencesDialog = nullptr;
    MainTabBar *m_tabBar = nullptr;
    // The elevated start waiting for pkexec; none when no start is pending.
    QPointer<Elevation> m_elevation;
    QPointer<DocumentDialog> m_helpDialog;
    QPointer<DocumentDialog> m_licenseDialog;
    // Process-wide: the administrator bar is shown at most once per run, and the
    // tray balloon explains the minimised state only at the first minimise.
    static bool s_adminInfoShown;
    static bool s_minimizeMessagePending;
};
