#include "widgets/maintabbar.h"

#include "widgets/spinnerwidget.h"

#include <QDebug>
#include <QIcon>
#include <QLabel>

namespace {
constexpr int ProcessesTab = 1;
constexpr int FilesTab = 2;
constexpr int IconEdge = 13;

// The 32-pixel image keeps the warning sharp on high-density screens.
QIcon warningIcon()
{
    QIcon icon(QStringLiteral(":warning_16x16.png"));
    icon.addFile(QStringLiteral(":warning_32x32.png"));
    return icon;
}
} // namespace

MainTabBar::MainTabBar(QWidget *parent) : QTabBar(parent)
{
    setIconSize(QSize(IconEdge, IconEdge));
    for (int tab : {ProcessesTab, FilesTab}) {
        // Owned by the bar; a tab adopts its spinner as right-side button when
        // the first scan starts.
        auto *spinner = new SpinnerWidget(this);
        spinner->setDisplayedWhenStopped(false);
        spinner->hide();
        m_spinners.insert(tab, spinner);
    }
}

void MainTabBar::initAlertIcons()
{
    m_blankPixmap = QPixmap(IconEdge, IconEdge);
    m_blankPixmap.fill(QColor(255, 255, 255, 0));
    for (int tab : {ProcessesTab, FilesTab}) {
        setTabIcon(tab, QIcon(m_blankPixmap));
        // A blank placeholder of the spinner's size, so that starting a scan
        // does not make the tab grow.
        auto *placeholder = new QLabel(this);
        placeholder->setPixmap(m_blankPixmap);
        setTabButton(tab, QTabBar::RightSide, placeholder);
    }
}

void MainTabBar::updateFileAlert()
{
    if (m_malwareFiles.size() == 1)
        setTabIcon(FilesTab, warningIcon());
    else if (m_malwareFiles.isEmpty())
        setTabIcon(FilesTab, m_blankPixmap.isNull() ? QIcon() : QIcon(m_blankPixmap));
}

void MainTabBar::malwareFileFound(const QString &path)
{
    m_malwareFiles.append(path);
    updateFileAlert();
}

void MainTabBar::malwareFileRemoved(const QString &path)
{
    m_malwareFiles.removeOne(path);
    updateFileAlert();
}

void MainTabBar::malwareProcessFound(const QString &, quint32)
{
    setTabIcon(ProcessesTab, warningIcon());
}

void MainTabBar::malwareModuleFound(const QString &path, quint32 pid)
{
    qDebug().noquote()
        << QStringLiteral("MainTabBar::malwareModuleFound( %1, %2 ) called").arg(path).arg(pid);
    setTabIcon(ProcessesTab, warningIcon());
}

void MainTabBar::fileScanStarted()
{
    startSpinner(FilesTab);
}

void MainTabBar::fileScanFinished()
{
    stopSpinner(FilesTab);
}

void MainTabBar::processScanStarted()
{
    startSpinner(ProcessesTab);
}

void MainTabBar::processScanFinished()
{
    stopSpinner(ProcessesTab);
}

void MainTabBar::startSpinner(int tab)
{
    // Without its tab the spinner would be shown loose at the bar's corner.
    if (tab >= count())
        return;
    SpinnerWidget *spinner = m_spinners.value(tab);
    setTabButton(tab, QTabBar::RightSide, spinner);
    spinner->startAnimation();
    spinner->show();
}

void MainTabBar::stopSpinner(int tab)
{
    SpinnerWidget *spinner = m_spinners.value(tab);
    spinner->stopAnimation();
    spinner->hide();
}
