#include "views/summaryitemprocesses.h"

#include <QDebug>
#include <QLabel>
#include <QSet>

SummaryItemProcesses::SummaryItemProcesses(QWidget *parent) : SummaryItem(parent)
{
    setTitle(tr("Processes"));
    setMode(Idle);
    setStatus(QString());
}

void SummaryItemProcesses::addMalware(const QString &path, quint32 pid)
{
    qDebug().noquote()
        << QStringLiteral("SummaryItemProcesses::addMalware( %1, %2 ) called").arg(path).arg(pid);
    m_malware.insert(pid, path);
    updateStatus();
}

void SummaryItemProcesses::addModuleMalware(const QString &path, quint32 pid)
{
    qDebug().noquote() << QStringLiteral("SummaryItemProcesses::addModuleMalware( %1, %2 ) called")
                              .arg(path)
                              .arg(pid);
    m_malware.insert(pid, path);
    updateStatus();
}

void SummaryItemProcesses::setScanEnabled(bool enabled)
{
    toggleLabel()->hide();
    setLed(enabled);
    setAdditionalInfo(enabled ? tr("Processes are being actively monitored.")
                              : tr("Processes are not being monitored."));
}

void SummaryItemProcesses::processScanStarted()
{
    setMode(Busy);
    setStatus(tr("Checking running processes..."));
    detailsLabel()->hide();
}

void SummaryItemProcesses::updateStatus()
{
    const int count = m_malware.size();
    const QList<QString> paths = m_malware.values();
    const int distinct = QSet<QString>(paths.begin(), paths.end()).size();
    if (count == 0) {
        setStatus(tr("No running processes were identified as malware."));
        setMode(AllClear);
    } else {
        if (count == 1)
            setStatus(tr("WinOrvex has identified 1 malware process."));
        else if (distinct == 1)
            setStatus(tr("WinOrvex has identified %1 instances of 1 malware process.").arg(count));
        else
            setStatus(tr("WinOrvex has identified %1 instances of %2 malware processes.")
                          .arg(count)
                          .arg(distinct));
        setMode(MalwareFound);
    }
    showDetailsLink(QStringLiteral("details_processes"));
}
