#pragma once

#include <QHash>
#include <QList>
#include <QPixmap>
#include <QString>
#include <QTabBar>

class SpinnerWidget;

// The main window's tab bar. The Processes (1) and Files (2) tabs carry an alert
// icon and a busy spinner as their right-side button.
class MainTabBar : public QTabBar
{
    Q_OBJECT

public:
    explicit MainTabBar(QWidget *parent = nullptr);

    // Needs the four tabs to exist.
    void initAlertIcons();
    void updateFileAlert();

public Q_SLOTS:
    void malwareFileFound(const QString &path);
    void malwareFileRemoved(const QString &path);
    void malwareProcessFound(const QString &path, quint32 pid);
    void malwareModuleFound(const QString &path, quint32 pid);
    void fileScanStarted();
    void fileScanFinished();
    void processScanStarted();
    void processScanFinished();

private:
    void startSpinner(int tab);
    void stopSpinner(int tab);

    QHash<int, SpinnerWidget *> m_spinners;
    QList<QString> m_malwareFiles;
    QPixmap m_blankPixmap; // null until initAlertIcons()
};
