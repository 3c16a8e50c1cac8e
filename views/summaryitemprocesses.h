#pragma once

#include "views/summaryitem.h"

#include <QHash>
#include <QString>

// The "Processes" panel: whether processes are monitored, and how many running
// processes (or the modules they load) were identified as malware in this run.
class SummaryItemProcesses : public SummaryItem
{
    Q_OBJECT

public:
    explicit SummaryItemProcesses(QWidget *parent = nullptr);

    void processScanStarted();
    void updateStatus();

public Q_SLOTS:
    void addMalware(const QString &path, quint32 pid);
    void addModuleMalware(const QString &path, quint32 pid);
    void setScanEnabled(bool enabled) override;

private:
    // One entry per process id: a later report for the same id replaces the path.
    QHash<quint32, QString> m_malware;
};
