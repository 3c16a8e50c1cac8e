#pragma once

#include <QFileInfo>
#include <QList>
#include <QString>
#include <QTime>
#include <QWidget>

class FileDropArea;
class SummaryItemFiles;
class SummaryItemProcesses;

// The first tab: whether the machine is protected at a glance. The processes and
// files panels above a drop area for files and folders to scan. The main window
// feeds it through its slots and acts on its signals.
class SummaryTab : public QWidget
{
    Q_OBJECT

public:
    explicit SummaryTab(QWidget *parent = nullptr);

    SummaryItemProcesses *processesItem() const { return m_processes; }
    SummaryItemFiles *filesItem() const { return m_files; }
    FileDropArea *dropArea() const { return m_dropArea; }

Q_SIGNALS:
    void summaryLinkClicked(QString link);
    void enableProcessScan(bool enable);
    void enableNetworkScan(bool enable);
    void itemsDropped(QList<QFileInfo> items);
    void requestScanComputer();
    void requestStopScan();

public Q_SLOTS:
    void handleFileScanAborted();
    void handleFileCountChanged(int count);
    void malwareFileFound(QString path);
    void malwareFileRemoved(QString path);
    void malwareProcessFound(QString path, quint32 pid);
    void malwareModuleFound(QString path, quint32 pid);
    void fileScanStarted();
    void fileScanFinished(bool scanned);
    void processScanStarted();
    void processScanFinished();
    void processScanEnabled(bool enabled);
    void driveScanTimeChanged(QTime time);

private:
    SummaryItemProcesses *m_processes;
    SummaryItemFiles *m_files;
    FileDropArea *m_dropArea;
};
