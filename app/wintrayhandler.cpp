#include "app/wintrayhandler.h"

#include "app/mainwindow.h"

#include <QDebug>
#include <QMenu>

WinTrayHandler::WinTrayHandler(MainWindow *window)
    : QSystemTrayIcon(window), m_window(window), m_menu(new QMenu)
{
    setIcon(window->windowIcon());
    setToolTip(tr("WinOrvex"));
    m_menu->addAction(tr("Show WinOrvex"), window, &MainWindow::runMaximized);
    m_menu->addSeparator();
    m_menu->addAction(tr("Quit WinOrvex"), window, &QWidget::close);
    setContextMenu(m_menu);
    connect(this, &QSystemTrayIcon::activated, this, &WinTrayHandler::userActivated);
}

WinTrayHandler::~WinTrayHandler()
{
    // A context menu has no parent widget; the tray icon owns it.
    delete m_menu;
}

void WinTrayHandler::handleFileScanFinished()
{
    qDebug() << "WinTrayHandler::handleFileScanFinished() called";
    if (isVisible())
        showMessage(tr("WinOrvex"), tr("File scan finished."), QSystemTrayIcon::Information, 10000);
}

void WinTrayHandler::handleAutomaticScanStarted()
{
    qDebug() << "WinTrayHandler::handleAutomaticScanStarted() called";
    if (isVisible())
        showMessage(tr("WinOrvex"), tr("Scheduled scan started."), QSystemTrayIcon::Information,
                    10000);
}

void WinTrayHandler::userActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        m_window->runMaximized();
}
