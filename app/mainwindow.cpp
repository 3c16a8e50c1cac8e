#include "app/mainwindow.h"

#include "app/aboutdialog.h"
#include "app/applicationversion.h"
#include "app/documentdialog.h"
#include "app/preferencepane.h"
#include "app/preferences.h"
#include "app/preferencesfile.h"
#include "app/webaddress.h"
#include "app/wintrayhandler.h"
#include "files/filetab.h"
#include "files/slicedrelay.h"
#include "files/userprompt.h"
#include "platform/elevation.h"
#include "platform/filename.h"
#include "platform/filestatus.h"
#include "platform/platforminfo.h"
#include "platform/preferenceslocation.h"
#include "platform/systemtray.h"
#include "processes/modulemanager.h"
#include "processes/processmonitor.h"
#include "registry/orvexcache.h"
#include "registry/orvexhandler.h"
#include "registry/orvextab.h"
#include "registry/uniqueid.h"
#include "services/fpdialog.h"
#include "services/sendfeedbackdialog.h"
#include "services/softwareupdater.h"
#include "views/processtab.h"
#include "views/removemalwaretab.h"
#include "views/summarytab.h"
#include "widgets/maintabbar.h"
#include "widgets/spinnerwidget.h"

#include <QApplication>
#include <QDebug>
#include <QDomElement>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMetaMethod>
#include <QPointer>
#include <QScreen>
#include <QSqlDatabase>
#include <QStyle>
#include <QUrl>
#include <QUuid>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

#include <cerrno>

bool MainWindow::s_adminInfoShown = false;
bool MainWindow::s_minimizeMessagePending = true;

namespace {
// The help page and the licence travel with the program.
const char HelpResource[] = ":/doc/help.html";
const char LicenseResource[] = ":/doc/LICENSE";
} // namespace

Qt::WindowFlags MainWindow::savedWindowFlagsDefault()
{
    return Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
           Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint;
}

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setupUi(this);
    fitToScreen();
    setWindowIcon(QIcon(QStringLiteral(":img/icons/WinOrvex/16.png")));
    label_reconnecting_spinner->setColor(Qt::white);
    // The platform's key for quitting; a desktop whose theme names none still
    // gets the usual Ctrl+Q.
    QList<QKeySequence> quitKeys = QKeySequence::keyBindings(QKeySequence::Quit);
    if (quitKeys.isEmpty())
        quitKeys << QKeySequence(Qt::CTRL | Qt::Key_Q);
    actionQuit->setShortcuts(quitKeys);

    m_savedWindowFlags = savedWindowFlagsDefault();
    m_preferences = PreferencesFile::emptyDocument();

    m_softwareUpdater = new SoftwareUpdater(this);
    m_orvexCache = new OrvexCache;

    createDatabase();

    qRegisterMetaType<QList<QString>>("QList<QString>");
    qRegisterMetaType<QList<QFileInfo>>("QList<QFileInfo>");
    qRegisterMetaType<QVariant>("QVariant");
    qRegisterMetaType<QList<quint32>>("QList<quint32>");

    QCoreApplication::setApplicationVersion(applicationVersion());
    qDebug().noquote()
        << QStringLiteral("WinOrvex version %1").arg(QCoreApplication::applicationVersion());
    qDebug().noquote() << QStringLiteral("Windows version 0x%1")
                              .arg(PlatformInfo::instance().versionCode(), 4, 16, QLatin1Char('0'));

    connect(actionEULA, &QAction::triggered, this, &MainWindow::userSeeEULA);
    connect(actionHelp, &QAction::triggered, this, &MainWindow::userVisitOnlineHelp);
    connect(actionAbout, &QAction::triggered, this, &MainWindow::userShowAbout);
    connect(label_hide_admin, &QLabel::linkActivated, frame_admin_info, &QWidget::hide);
    connect(pushButton_runas, &QPushButton::clicked, this, &MainWindow::runAsAdministrator);
    connect(label_hide_64, &QLabel::linkActivated, frame_64_info, &QWidget::hide);
    connect(label_help_64, &QLabel::linkActivated, this, &MainWindow::show64BitHelp);
    pushButton_runas->setIcon(style()->standardIcon(QStyle::SP_VistaShield));

    // Shown once process monitoring meets a process it may not inspect.
    frame_admin_info->hide();

    if (!PlatformInfo::instance().is64BitWindows())
        frame_64_info->hide();
    stackedWidget_network->hide();

    // Pages of later features are plain pages until those features exist; their
    // actions stay disabled meanwhile.
    createSummaryTab();
    connect(actionQuit, &QAction::triggered, this, &QWidget::close);
    connect(actionPreferences, &QAction::triggered, this, &MainWindow::userOpenPreferencesDialog);
    // Process monitoring runs from the start; the Processes tab shows it.
    createProcessTab();
    m_fileTab = new FileTab;
    connect(m_fileTab, &FileTab::fileScanStarted, this, &MainWindow::handleFileScanStarted);
    connect(m_fileTab, &FileTab::fileScanAborted, this, &MainWindow::handleFileScanAborted);
    connect(m_fileTab, &FileTab::fileScanFinished, this, &MainWindow::handleFileScanFinished);
    connect(actionScan_Computer, &QAction::triggered, m_fileTab, &FileTab::userScanComputer);
    connect(actionScan_Files, &QAction::triggered, m_fileTab, &FileTab::userScanFiles);
    connect(actionScan_Folder, &QAction::triggered, m_fileTab, &FileTab::userScanFolder);
    connect(m_fileTab, &OrvexTab::queryOrvex, this, &MainWindow::queryOrvex);
    stackedWidget->addWidget(m_fileTab);
    connectSummaryTab();
    m_processMonitor->setScanEnabled(true);

    createRemoveMalwareTab();
    connect(actionCheck_For_Updates, &QAction::triggered, this, &MainWindow::userCheckForUpdates);
    connectServiceDialogs();

    m_trayHandler = new WinTrayHandler(this);
    m_trayHandler->setIcon(windowIcon());
    connect(m_fileTab, &FileTab::automaticScanStarted, m_trayHandler,
            &WinTrayHandler::handleAutomaticScanStarted);
    connect(m_fileTab, &FileTab::fileScanFinished, m_trayHandler,
            &WinTrayHandler::handleFileScanFinished);

    createPreferencesDialog();

    m_tabBar = new MainTabBar;
    m_tabBar->setExpanding(false);
    m_tabBar->setDrawBase(false);
    m_tabBar->insertTab(SummaryPage, tr("Summary"));
    m_tabBar->insertTab(ProcessesPage, tr("Processes"));
    m_tabBar->insertTab(FilesPage, tr("Files"));
    m_tabBar->insertTab(RemovingMalwarePage, tr("Removing Malware"));
    m_tabBar->initAlertIcons();
    frame_bar->layout()->addWidget(m_tabBar);
    connect(m_tabBar, &QTabBar::currentChanged, stackedWidget, &QStackedWidget::setCurrentIndex);
    connect(m_fileTab, &FileTab::fileScanStarted, m_tabBar, &MainTabBar::fileScanStarted);
    connect(m_fileTab, &FileTab::fileScanFinished, m_tabBar, &MainTabBar::fileScanFinished);
    connect(m_fileTab, &FileTab::fileScanAborted, m_tabBar, &MainTabBar::fileScanFinished);
    connect(m_fileTab, &FileTab::malwareFileFound, m_tabBar, &MainTabBar::malwareFileFound);
    connect(m_fileTab, &FileTab::malwareFileRemoved, m_tabBar, &MainTabBar::malwareFileRemoved);

    connect(m_fileTab, &FileTab::malwareFileFound, this, &MainWindow::showAlert);
    connectProcessTab();
}

MainWindow::~MainWindow()
{
    delete m_fileTab;
    // The tab's views go before the monitor whose tables they show.
    delete m_processTab;
    delete m_processMonitor;
    delete m_trayHandler;
    delete m_orvexCache;
    delete m_softwareUpdater;
    // The in-memory database goes with the window that created it.
    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

QSize MainWindow::fittedSize(const QSize &designed, const QRect &available, const QSize &frame)
{
    return designed.boundedTo((available.size() - frame).expandedTo(QSize(1, 1)));
}

void MainWindow::fitToScreen()
{
    const QScreen *display = screen();
    if (!display)
        return;
    // The window manager's frame is not known before the window is shown: allow
    // for a title bar and a border on each side.
    const int border = style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 4;
    const QSize frame(2 * border, style()->pixelMetric(QStyle::PM_TitleBarHeight) + 2 * border);
    const QRect available = display->availableGeometry();
    const QSize fitted = fittedSize(size(), available, frame);
    if (fitted == size())
        return;
    resize(fitted);
    move(available.topLeft());
}

void MainWindow::openCommandLinePaths(const QList<QFileInfo> &items, const QStringList &missing)
{
    if (items.isEmpty() && missing.isEmpty())
        return;
    m_tabBar->setCurrentIndex(FilesPage);
    if (!items.isEmpty())
        m_fileTab->handleFilesAndDirectoriesDrop(items);
    if (missing.isEmpty())
        return;
    // Names as people read them. A path that is there but cannot be reached
    // (a symbolic link loop, a folder on the way that may not be entered)
    // gets the system's reason rather than "does not exist".
    QStringList names;
    QStringList reasons;
    bool allMissing = true;
    for (const QString &path : missing) {
        const FileStatus status = FileStatus::of(FileName::absolute(path));
        allMissing = allMissing && (status.error() == ENOENT || status.error() == ENOTDIR);
        names << FileName::readable(path);
        reasons << tr("%1: %2").arg(names.last(), status.errorString());
    }
    QString text;
    if (allMissing) {
        const QString list = names.join(QLatin1Char('\n'));
        text =
            missing.size() == 1
                ? tr("This file or folder does not exist and was not scanned:\n\n%1").arg(list)
                : tr("These files or folders do not exist and were not scanned:\n\n%1").arg(list);
    } else {
        const QString list = reasons.join(QLatin1Char('\n'));
        text = missing.size() == 1
                   ? tr("This file or folder could not be reached and was not scanned:\n\n%1")
                         .arg(list)
                   : tr("These files or folders could not be reached and were not "
                        "scanned:\n\n%1")
                         .arg(list);
    }
    UserPrompt::warning(this, tr("Scan Files"), text);
}

void MainWindow::createDatabase()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    if (!db.open())
        qCritical() << "MainWindow::MainWindow() Unable to create the database!";
}

// --- processes and removal tabs --------------------------------------------------

void MainWindow::createProcessTab()
{
    m_processMonitor = new ProcessMonitor;
    m_processTab = new ProcessTab(m_processMonitor);
    m_processTab->setObjectName(QStringLiteral("page_processes"));
    stackedWidget->addWidget(m_processTab);
    connect(m_processTab, &OrvexTab::queryOrvex, this, &MainWindow::queryOrvex);
    connect(m_processTab, &ProcessTab::privilegesNotSufficient, this,
            &MainWindow::showInsufficientPrivilegesInfo);
    // The module checks ask through a handler of their own, for the whole run:
    // its trouble shows in the network panel, and Retry reaches it too.
    OrvexHandler *moduleHandler = m_processMonitor->moduleManager()->orvexHandler();
    connect(moduleHandler, &QThread::finished, this, &MainWindow::clearNetworkError);
    connect(moduleHandler, &OrvexHandler::connectionMessage, this,
            &MainWindow::displayNetworkError);
    connect(moduleHandler, &OrvexHandler::communicationEstablished, this,
            &MainWindow::clearNetworkError);
    connect(moduleHandler, &OrvexHandler::automaticReconnectFailed, this,
            &MainWindow::handleAutomaticReconnectFailed);
    connect(toolButton_net_retry, &QToolButton::clicked, moduleHandler,
            &OrvexHandler::userRequestReconnect);
}

void MainWindow::connectProcessTab()
{
    connect(m_processTab, &ProcessTab::malwareProcessFound, m_tabBar,
            &MainTabBar::malwareProcessFound);
    connect(m_processTab, &ProcessTab::malwareModuleFound, m_tabBar,
            &MainTabBar::malwareModuleFound);
    connect(m_processTab, &ProcessTab::processScanStarted, m_tabBar,
            &MainTabBar::processScanStarted);
    connect(m_processTab, &ProcessTab::processScanFinished, m_tabBar,
            &MainTabBar::processScanFinished);
    connect(m_processTab, &ProcessTab::falsePositiveReportRequested, this,
            &MainWindow::userReportFalsePositive);
}

void MainWindow::createRemoveMalwareTab()
{
    m_removeMalwareTab = new RemoveMalwareTab(WebAddress::removalInformation());
    m_removeMalwareTab->setObjectName(QStringLiteral("page_removing_malware"));
    stackedWidget->addWidget(m_removeMalwareTab);
}

// --- summary tab ---------------------------------------------------------------

void MainWindow::createSummaryTab()
{
    // The page keeps the stack's name for it; the tab inside keeps its own, which
    // its style sheet addresses.
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("page_summary"));
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    m_summaryTab = new SummaryTab(page);
    layout->addWidget(m_summaryTab);
    stackedWidget->addWidget(page);
    connect(m_summaryTab, &SummaryTab::summaryLinkClicked, this,
            &MainWindow::handleSummaryLinkClick);
}

void MainWindow::connectSummaryTab()
{
    SummaryTab *summary = m_summaryTab;
    connect(m_processMonitor, &ProcessMonitor::malwareProcessFound, summary,
            &SummaryTab::malwareProcessFound);
    connect(m_processMonitor, &ProcessMonitor::processScanStarted, summary,
            &SummaryTab::processScanStarted);
    connect(m_processMonitor, &ProcessMonitor::processScanFinished, summary,
            &SummaryTab::processScanFinished);
    connect(m_processMonitor, &ProcessMonitor::processScanEnabled, summary,
            &SummaryTab::processScanEnabled);
    connect(summary, &SummaryTab::enableProcessScan, m_processMonitor,
            &ProcessMonitor::setScanEnabled);
    connect(m_fileTab, &FileTab::malwareFileFound, summary, &SummaryTab::malwareFileFound);
    connect(m_fileTab, &FileTab::malwareFileRemoved, summary, &SummaryTab::malwareFileRemoved);
    connect(m_fileTab, &FileTab::fileScanStarted, summary, &SummaryTab::fileScanStarted);
    connect(m_fileTab, &FileTab::fileScanAborted, summary, &SummaryTab::handleFileScanAborted);
    connect(m_fileTab, &FileTab::fileScanFinished, summary, &SummaryTab::fileScanFinished);
    connect(m_fileTab, &FileTab::fileCountChanged, summary, &SummaryTab::handleFileCountChanged);
    connect(summary, &SummaryTab::itemsDropped, m_fileTab, &FileTab::handleFilesAndDirectoriesDrop);
    connect(summary, &SummaryTab::requestScanComputer, m_fileTab, &FileTab::userScanComputer);
    connect(summary, &SummaryTab::requestStopScan, m_fileTab, &FileTab::userStopScan);
}

void MainWindow::handleSummaryLinkClick(const QString &link)
{
    qDebug().noquote()
        << QStringLiteral("MainWindow::handleSummaryLinkClick( %1 ) called").arg(link);
    if (link == QLatin1String("#details_files") || link == QLatin1String("#more_file_scan_options"))
        m_tabBar->setCurrentIndex(FilesPage);
    else if (link == QLatin1String("#details_processes"))
        m_tabBar->setCurrentIndex(ProcessesPage);
    else if (link == QLatin1String("#change_drive_scan"))
        userOpenPreferencesDialog();
}

// --- preferences and the update check ---------------------------------------------

void MainWindow::createPreferencesDialog()
{
    m_preferencesDialog = new Preferences(this);
    m_preferencesDialog->setDomDocument(m_preferences);
    connect(m_preferencesDialog, &Preferences::driveScanTimeChanged, m_fileTab,
            &FileTab::scheduleAutomaticDriveScan);
    connect(m_preferencesDialog, &Preferences::driveScanTimeChanged, m_summaryTab,
            &SummaryTab::driveScanTimeChanged);
    connect(m_preferencesDialog, &Preferences::setUserPreference, this,
            &MainWindow::handleUserPreference);
}

void MainWindow::loadStartupPreferences()
{
    if (!loadPreferences())
        handleUserPreference(PreferencePane::AutomaticUpdateCheck, true);
}

bool MainWindow::loadPreferences()
{
    qDebug() << "MainWindow::loadPreferences() called";
    m_preferences = PreferencesFile::emptyDocument();
    m_preferencesDialog->setDomDocument(m_preferences);

    const QString path = PreferencesLocation::filePath();
    const QFileInfo info(path);
    if (!info.isFile())
        qWarning().noquote() << QStringLiteral("MainWindow::loadPreferences() the preferences "
                                               "file '%1' does not exist!")
                                    .arg(path);
    if (!info.isReadable()) {
        qWarning().noquote() << QStringLiteral("MainWindow::loadPreferences() the preferences "
                                               "file '%1' is not readable!")
                                    .arg(path);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "MainWindow::loadPreferences() the QFileInfo object said the preferences "
                      "file was readable, but QFile can not open it!";
        return false;
    }
    // Parsed apart, so that a malformed file leaves the empty document whole.
    QDomDocument loaded;
    QString message;
    int line = 0;
    int column = 0;
    if (!loaded.setContent(&file, &message, &line, &column)) {
        qWarning().noquote() << QStringLiteral("MainWindow::loadPreferences() could not load the "
                                               "file into the QDomDocument!  Error on line %1, "
                                               "column %2: %3")
                                    .arg(line)
                                    .arg(column)
                                    .arg(message);
        file.close();
        // The defaults are written at exit; the user's file is kept beside them.
        QString error;
        const QString aside = PreferencesFile::setAside(path, &error);
        if (aside.isEmpty())
            qWarning().noquote() << QStringLiteral("MainWindow::loadPreferences() could not keep "
                                                   "the malformed file as '%1.bad': %2")
                                        .arg(path, error);
        else
            qWarning().noquote() << QStringLiteral("MainWindow::loadPreferences() kept the "
                                                   "malformed file as '%1'; using the defaults")
                                        .arg(aside);
        return false;
    }
    m_preferences = loaded;
    m_preferencesDialog->setDomDocument(m_preferences);
    qDebug().noquote()
        << QStringLiteral("MainWindow::loadPreferences() loaded file [%1]").arg(path);

    const QDomElement window =
        m_preferences.documentElement().firstChildElement(QStringLiteral("MainWindow"));
    const QString lastCheck = window.firstChildElement(QStringLiteral("LastUpdateCheck"))
                                  .attribute(QStringLiteral("Date"));
    qDebug().noquote() << QStringLiteral(
                              "MainWindow::loadPreferences() last software update check was %1")
                              .arg(lastCheck);
    m_softwareUpdater->setLastUpdateCheck(QDateTime::fromString(lastCheck, Qt::TextDate));

    restoreState(PreferencesFile::byteArray(window.firstChildElement(QStringLiteral("State"))), 1);
    const QByteArray geometry =
        PreferencesFile::byteArray(window.firstChildElement(QStringLiteral("Geometry")));
    if (geometry.isNull() || !restoreGeometry(geometry)) {
        resize(800, 600);
        fitToScreen();
    }

    UniqueId::setInstallationUuid(
        QUuid::fromString(window.firstChildElement(QStringLiteral("UUID")).text().trimmed()));

    m_preferencesDialog->load(m_preferences, false);
    return true;
}

void MainWindow::savePreferences()
{
    qDebug() << "MainWindow::savePreferences() called";
    const QString path = PreferencesLocation::filePath();
    if (path.isEmpty()) {
        qWarning() << "MainWindow::savePreferences() has no folder for the preferences file!";
        return;
    }

    QDomElement root = m_preferences.documentElement();
    QDomElement window = m_preferences.createElement(QStringLiteral("MainWindow"));
    if (root.isNull()) {
        qWarning() << "MainWindow::savePreferences() the DOM document's root element is null!";
    } else {
        const QDomElement old = root.firstChildElement(QStringLiteral("MainWindow"));
        if (old.isNull())
            root.appendChild(window);
        else if (root.replaceChild(window, old).isNull())
            qWarning() << "MainWindow::savePreferences() replacing the current MainWindow element "
                          "failed!";
    }

    QDomElement state = m_preferences.createElement(QStringLiteral("State"));
    PreferencesFile::setByteArray(state, saveState(1));
    window.appendChild(state);
    QDomElement geometry = m_preferences.createElement(QStringLiteral("Geometry"));
    PreferencesFile::setByteArray(geometry, saveGeometry());
    window.appendChild(geometry);
    QDomElement uuid = m_preferences.createElement(QStringLiteral("UUID"));
    uuid.appendChild(m_preferences.createTextNode(UniqueId::ensureInstallationUuid().toString()));
    window.appendChild(uuid);
    QDomElement lastCheck = m_preferences.createElement(QStringLiteral("LastUpdateCheck"));
    lastCheck.setAttribute(QStringLiteral("Date"),
                           m_softwareUpdater->lastUpdateCheck().toString(Qt::TextDate));
    window.appendChild(lastCheck);

    QString error;
    switch (PreferencesFile::write(path, m_preferences, &error)) {
    case PreferencesFile::WriteResult::Written:
        break;
    case PreferencesFile::WriteResult::OpenFailed:
        qWarning().noquote() << QStringLiteral("MainWindow::savePreferences() could not open '%1' "
                                               "for writing!")
                                    .arg(path);
        break;
    case PreferencesFile::WriteResult::WriteFailed:
        qWarning().noquote() << QStringLiteral("MainWindow::savePreferences() could not write "
                                               "'%1', the old file is kept: %2")
                                    .arg(path, error);
        break;
    }
}

void MainWindow::handleUserPreference(int preference, const QVariant &value)
{
    qDebug().noquote() << QStringLiteral("MainWindow::handleUserPreference( %1 ) called with data:")
                              .arg(preference)
                       << value;
    if (preference != PreferencePane::AutomaticUpdateCheck)
        return;
    SoftwareUpdater::setAutomaticUpdateCheckEnabled(value.toBool());
    if (value.toBool())
        m_softwareUpdater->checkForUpdates(false);
}

void MainWindow::userOpenPreferencesDialog()
{
    m_preferencesDialog->load(m_preferences, true);
    // Written at once too: a session that ends the program with a signal, or a
    // crash, would otherwise lose what the user just chose.
    if (m_preferencesDialog->exec() == QDialog::Accepted)
        savePreferences();
}

void MainWindow::userCheckForUpdates()
{
    m_softwareUpdater->checkForUpdates(true);
}

void MainWindow::runMaximized()
{
    qDebug() << "MainWindow::runMaximized() called";
    m_trayHandler->hide();
    activateWindow();
    setWindowFlags(m_savedWindowFlags);
    showNormal();
    activateWindow();
}

void MainWindow::runMinimized(bool showMessage)
{
    qDebug() << "MainWindow::runMinimized() called";
    // Without a tray a hidden window could never be brought back: it goes to
    // the task bar like any other window.
    if (!SystemTray::isAvailable()) {
        showMinimized();
        return;
    }
    m_trayHandler->show();
    if (showMessage && s_minimizeMessagePending) {
        QString text = tr("WinOrvex is running minimized and still scanning processes.");
        if (m_fileTab->automaticScanTime().isValid())
            text += tr("\nThe automatic drive scan will still take place.");
        m_trayHandler->showMessage(tr("WinOrvex is running minimized."), text,
                                   QSystemTrayIcon::Information, 3000);
        s_minimizeMessagePending = false;
    }
    setWindowFlags(Qt::Dialog);
    hide();
}

void MainWindow::showAlert()
{
    qDebug() << "MainWindow::showAlert() called";
    if (!isMinimized() && !isHidden())
        return;
    m_trayHandler->hide();
    setWindowFlags(m_savedWindowFlags);
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    QApplication::alert(this, 0);
}

void MainWindow::queryOrvex(QList<QString> digests)
{
    qDebug().noquote()
        << QStringLiteral("MainWindow::queryOrvex() called with %1 digests").arg(digests.size());
    if (digests.isEmpty())
        return;

    auto *tab = qobject_cast<OrvexTab *>(sender());
    // Each query runs in a handler of its own, which deletes itself when it ends.
    auto *handler = new OrvexHandler(m_orvexCache);
    connect(handler, &QThread::finished, handler, &QObject::deleteLater);
    connect(handler, &QThread::finished, this, &MainWindow::clearNetworkError);
    connect(handler, &OrvexHandler::connectionMessage, this, &MainWindow::displayNetworkError);
    connect(handler, &OrvexHandler::communicationEstablished, this, &MainWindow::clearNetworkError);
    connect(handler, &OrvexHandler::automaticReconnectFailed, this,
            &MainWindow::handleAutomaticReconnectFailed);
    connect(toolButton_net_retry, &QToolButton::clicked, handler,
            &OrvexHandler::userRequestReconnect);
    // The process table takes its answers, and ends the scan, through the
    // monitor behind the Processes tab.
    auto *monitor = qobject_cast<ProcessMonitor *>(sender());
    if (!monitor && tab && tab == m_processTab)
        monitor = m_processMonitor;
    if (monitor)
        monitor->attachQuery(handler);
    if (tab)
        connect(tab, &OrvexTab::queryStopRequested, handler, &OrvexHandler::userRequestStop);
    if (tab && !monitor) {
        // A large query's answers come faster than a table takes them. They
        // reach the tab through a relay, a slice per turn of the event loop,
        // and the end comes through it too, after the last answer.
        auto *relay = new SlicedRelay;
        const QPointer<OrvexTab> to(tab);
        const bool fileTab = tab == m_fileTab;
        // The start is posted before the handler runs, so ahead of any answer.
        connect(handler, &QThread::started, tab, &OrvexTab::OrvexQueryStarted);
        relay->forward(handler, &OrvexHandler::setOrvexDataPacked, [to](const QString &record) {
            if (to)
                to->setOrvexDataPacked(record);
        });
        relay->forward(handler, &OrvexHandler::digestUnanswered, [to](const QString &md5) {
            if (to)
                to->setOrvexDataUnanswered(md5);
        });
        if (fileTab) {
            // The Files tab's progress page counts the answers.
            relay->forward(handler, &ProgressInterface::progressMaximum, [to](int maximum) {
                if (to)
                    QMetaObject::invokeMethod(to, "setProgressMaximum", Q_ARG(int, maximum));
            });
            // One step per answer; the tab adds them to its bar once per turn.
            const QMetaMethod step = FileTab::staticMetaObject.method(
                FileTab::staticMetaObject.indexOfSlot("setProgressStep()"));
            relay->forward(handler, &ProgressInterface::progressStep, [to, step] {
                if (to)
                    step.invoke(to);
            });
        }
        connect(
            handler, &QThread::finished, relay,
            [relay, to] {
                relay->post([relay, to] {
                    relay->deleteLater();
                    if (to)
                        to->OrvexQueryFinished();
                });
            },
            Qt::DirectConnection);
    }
    handler->sendQuery(digests);
}

void MainWindow::showInsufficientPrivilegesInfo()
{
    if (s_adminInfoShown)
        return;
    frame_admin_info->show();
    s_adminInfoShown = true;
}

void MainWindow::show64BitHelp()
{
    QMessageBox::information(
        this, tr("Information"),
        tr("WinOrvex is running on a 64 bit version of Windows and is unable to scan 64 bit "
           "processes."),
        QMessageBox::Ok);
}

void MainWindow::runAsAdministrator()
{
    // pkexec's password dialog is up: a second click must not ask twice.
    if (m_elevation)
        return;
    m_elevation = new Elevation(this);
    pushButton_runas->setEnabled(false);
    // This instance closes only once the elevated one runs; a cancelled password
    // dialog leaves it as it was.
    connect(m_elevation, &Elevation::started, this, [this] {
        m_elevation->deleteLater();
        close();
    });
    connect(m_elevation, &Elevation::refused, this, [this](int exitStatus) {
        qWarning().noquote() << QStringLiteral("MainWindow::runAsAdministrator() pkexec refused "
                                               "the authorisation (exit status %1)")
                                    .arg(exitStatus);
        elevationEnded(tr("The authentication was cancelled or refused. WinOrvex keeps running "
                          "without administrator rights."));
    });
    connect(m_elevation, &Elevation::failed, this, [this](const QString &reason) {
        qWarning().noquote()
            << QStringLiteral("MainWindow::runAsAdministrator() the elevated instance ended: %1")
                   .arg(reason);
        elevationEnded(tr("WinOrvex with administrator rights ended before it opened its window "
                          "(%1). WinOrvex keeps running without administrator rights.")
                           .arg(reason));
    });
    if (!m_elevation->start(QCoreApplication::applicationFilePath())) {
        qWarning().noquote() << QStringLiteral(
                                    "MainWindow::runAsAdministrator() pkexec could not start: %1")
                                    .arg(m_elevation->errorString());
        elevationEnded(tr("WinOrvex could not ask for administrator rights (%1). WinOrvex keeps "
                          "running without administrator rights.")
                           .arg(m_elevation->errorString()));
    }
}

void MainWindow::elevationEnded(const QString &text)
{
    m_elevation->deleteLater();
    m_elevation.clear();
    pushButton_runas->setEnabled(true);
    UserPrompt::warning(this, tr("Scan All Processes"), text);
}

void MainWindow::userVisitOnlineHelp()
{
    showDocument(m_helpDialog, tr("WinOrvex Help"), QString::fromLatin1(HelpResource));
}

void MainWindow::userShowAbout()
{
    auto *about = new AboutDialog(this);
    about->exec();
}

void MainWindow::userSeeEULA()
{
    showDocument(m_licenseDialog, tr("License Agreement"), QString::fromLatin1(LicenseResource));
}

void MainWindow::connectServiceDialogs()
{
    connect(actionSend_Us_Feedback, &QAction::triggered, this, &MainWindow::userSendFeedback);
    connect(m_fileTab, &FileTab::falsePositiveReportRequested, this,
            &MainWindow::userReportFalsePositive);
}

void MainWindow::userSendFeedback()
{
    // Guarded: whatever the nested event loop does, the window may go first.
    QPointer<SendFeedbackDialog> dialog = new SendFeedbackDialog(this);
    dialog->exec();
    delete dialog;
}

void MainWindow::userReportFalsePositive(QString packedData)
{
    qDebug().noquote() << QStringLiteral("MainWindow::userReportFalsePositive( %1 ) called")
                              .arg(FileName::readable(packedData));
    QPointer<FPDialog> dialog = new FPDialog(this);
    if (dialog->confirmSendReport(packedData))
        dialog->exec();
    delete dialog;
}

void MainWindow::showDocument(QPointer<DocumentDialog> &dialog, const QString &title,
                              const QString &resource)
{
    // One window per document: asking again brings it to the front.
    if (!dialog)
        dialog = new DocumentDialog(title, resource, this);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void MainWindow::handleFileScanStarted()
{
    for (QAction *action : {actionScan_Files, actionScan_Folder, actionScan_Computer})
        action->setEnabled(false);
}

void MainWindow::handleFileScanAborted()
{
    for (QAction *action : {actionScan_Files, actionScan_Folder, actionScan_Computer})
        action->setEnabled(true);
}

void MainWindow::handleFileScanFinished(bool)
{
    handleFileScanAborted();
}

void MainWindow::displayNetworkError(const QString &message)
{
    qDebug().noquote()
        << QStringLiteral("MainWindow::displayNetworkError( %1 ) called").arg(message);
    setPagesEnabled(false);
    stackedWidget_network->setCurrentWidget(page_net_retry);
    label_orvex_com_status->setText(message);
    label_reconnecting_spinner->startAnimation();
    stackedWidget_network->show();
}

void MainWindow::clearNetworkError()
{
    qDebug() << "MainWindow::clearNetworkError() called";
    setPagesEnabled(true);
    stackedWidget_network->hide();
    label_orvex_com_status->clear();
    label_reconnecting_spinner->stopAnimation();
}

void MainWindow::setPagesEnabled(bool enabled)
{
    // The tabs wait for the registry, but a scan waiting for it can still be
    // stopped from the Files tab's progress page.
    for (int i = 0; i < stackedWidget->count(); ++i) {
        QWidget *page = stackedWidget->widget(i);
        if (page == m_fileTab)
            m_fileTab->setResultsEnabled(enabled);
        else
            page->setEnabled(enabled);
    }
}

void MainWindow::handleAutomaticReconnectFailed()
{
    // The tabs stay disabled; Retry reaches the handler that waits for the user.
    stackedWidget_network->setCurrentWidget(page_net_failed);
}

bool MainWindow::event(QEvent *e)
{
    if (e->type() == QEvent::WindowStateChange && isMinimized() && SystemTray::isAvailable()) {
        const auto *change = static_cast<QWindowStateChangeEvent *>(e);
        if (!(change->oldState() & Qt::WindowMinimized))
            runMinimized(true);
        else
            runMaximized();
        e->accept();
        return true;
    }
    if (e->type() == QEvent::Close) {
        savePreferences();
        e->accept();
        return true;
    }
    return QMainWindow::event(e);
}

void MainWindow::keyPressEvent(QKeyEvent *e)
{
    static const QList<int> pageKeys{Qt::Key_1, Qt::Key_2, Qt::Key_3, Qt::Key_4};
    const int page = pageKeys.indexOf(e->key());
    if (page >= 0)
        m_tabBar->setCurrentIndex(page);
    QMainWindow::keyPressEvent(e);
}
