#pragma once

#include "registry/orvextab.h"

#include <QList>
#include <QString>
#include <QVariant>

class EmbeddedLabelLineEdit;
class NetworkManager;
class ProcessInspector;
class ProcessMonitor;
class ProcessView;
class QDataWidgetMapper;
class QLabel;
class QSplitter;

// The "Processes" tab, the window's face of the process monitor: the
// filterable list of processes with their count beside the inspector of the
// selected one. The monitor's digests go to the registry through queryOrvex()
// and its answers back to the table, as for any registry-querying tab.
class ProcessTab : public OrvexTab
{
    Q_OBJECT

public:
    // The monitor stays the caller's and outlives the tab.
    explicit ProcessTab(ProcessMonitor *monitor, QWidget *parent = nullptr);
    ~ProcessTab() override;

    ProcessMonitor *monitor() const { return m_monitor; }
    ProcessView *processView() const { return m_view; }
    ProcessInspector *inspector() const { return m_inspector; }
    EmbeddedLabelLineEdit *filterEdit() const { return m_filter; }
    QLabel *processCountLabel() const { return m_count; }
    NetworkManager *networkManager() const { return m_network; }
    QDataWidgetMapper *mapper() const { return m_mapper; }

Q_SIGNALS:
    void malwareProcessFound(QString, quint32);
    void malwareModuleFound(QString, quint32);
    void processScanStarted();
    void processScanFinished();
    void processScanEnabled(bool);
    void privilegesNotSufficient();
    // The user asked to report the selected process as wrongly flagged:
    // "md5|sha1|path".
    void falsePositiveReportRequested(QString packedData);

public Q_SLOTS:
    void setScanEnabled(bool p_enabled);
    void setOrvexDataPacked(QString p_packed_data) override;
    void setOrvexData(QString, int, QVariant) override;
    void OrvexQueryStarted() override;
    void OrvexQueryFinished() override;
    void setOrvexDataUnanswered(QString p_md5) override;

protected Q_SLOTS:
    void updateProcessCount();

private:
    ProcessMonitor *m_monitor;
    QSplitter *m_splitter = nullptr;
    ProcessView *m_view = nullptr;
    EmbeddedLabelLineEdit *m_filter = nullptr;
    QLabel *m_count = nullptr;
    ProcessInspector *m_inspector = nullptr;
    NetworkManager *m_network = nullptr;
    QDataWidgetMapper *m_mapper = nullptr;
};
