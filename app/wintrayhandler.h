#pragma once

#include <QSystemTrayIcon>

class MainWindow;
class QMenu;

// The tray icon that stands for the window while it runs minimised.
class WinTrayHandler : public QSystemTrayIcon
{
    Q_OBJECT

public:
    explicit WinTrayHandler(MainWindow *window);
    ~WinTrayHandler() override;

public Q_SLOTS:
    void handleFileScanFinished();
    void handleAutomaticScanStarted();

protected Q_SLOTS:
    void userActivated(QSystemTrayIcon::ActivationReason reason);

private:
    MainWindow *m_window;
    QMenu *m_menu;
};
