#include "views/summarytab.h"

#include "views/summaryitemfiles.h"
#include "views/summaryitemprocesses.h"
#include "widgets/filedroparea.h"

#include <QVBoxLayout>

SummaryTab::SummaryTab(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("SummaryTab"));
    resize(575, 304);
    // A plain widget paints a style-sheet background only when asked to.
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral("#SummaryTab {\n"
                                 "  background-image: url(:/logo_red.png);\n"
                                 "  background-repeat: no-repeat;\n"
                                 "  background-position: bottom right;\n"
                                 "}"));

    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    m_processes = new SummaryItemProcesses(this);
    m_files = new SummaryItemFiles(this);
    m_dropArea = new FileDropArea(this);
    layout->addWidget(m_processes, 0);
    layout->addWidget(m_files, 0);
    layout->addWidget(m_dropArea, 2147483647);

    connect(m_processes, &SummaryItem::linkClicked, this, &SummaryTab::summaryLinkClicked);
    connect(m_files, &SummaryItem::linkClicked, this, &SummaryTab::summaryLinkClicked);
    connect(m_processes, &SummaryItem::enableScan, this, &SummaryTab::enableProcessScan);
    connect(m_dropArea, &FileDropArea::itemsDropped, this, &SummaryTab::itemsDropped);
    connect(m_files, &SummaryItemFiles::requestScanComputer, this,
            &SummaryTab::requestScanComputer);
    connect(m_files, &SummaryItemFiles::requestStopScan, this, &SummaryTab::requestStopScan);
}

void SummaryTab::handleFileScanAborted()
{
    m_files->handleFileScanAborted();
    m_dropArea->enableDrops();
}

void SummaryTab::handleFileCountChanged(int) {}

void SummaryTab::malwareFileFound(QString path)
{
    m_files->addMalware(path);
}

void SummaryTab::malwareFileRemoved(QString path)
{
    m_files->removeMalware(path);
}

void SummaryTab::malwareProcessFound(QString path, quint32 pid)
{
    m_processes->addMalware(path, pid);
}

void SummaryTab::malwareModuleFound(QString path, quint32 pid)
{
    m_processes->addModuleMalware(path, pid);
}

void SummaryTab::fileScanStarted()
{
    m_files->fileScanStarted();
    m_dropArea->disableDrops();
}

void SummaryTab::fileScanFinished(bool scanned)
{
    m_files->fileScanFinished(scanned);
    m_dropArea->enableDrops();
}

void SummaryTab::processScanStarted()
{
    m_processes->processScanStarted();
}

void SummaryTab::processScanFinished()
{
    m_processes->updateStatus();
}

void SummaryTab::processScanEnabled(bool enabled)
{
    SummaryItem *item = m_processes;
    item->setScanEnabled(enabled);
}

void SummaryTab::driveScanTimeChanged(QTime time)
{
    m_files->setDriveScanTime(time);
}
