#pragma once

#include <QString>
#include <QWidget>

class ModuleView;
class QFrame;
class QLabel;
class QSplitter;
class QStackedWidget;
class SocketTableView;
class SpinnerWidget;

// The panel beside the process list: the selected process's icon, name,
// status, pid, digests, path and whether it still runs (filled by the process
// tab's field mapper), an orange warning when it or its modules are reported
// as malware, the modules it has loaded and its (hidden) socket table.
class ProcessInspector : public QWidget
{
    Q_OBJECT

public:
    explicit ProcessInspector(QWidget *parent = nullptr);

    // "md5|sha1|path" of the process last previewed; empty before.
    QString falsePositiveRecord() const { return m_fpData; }

    QLabel *nameLabel() const { return m_name; }
    QLabel *iconLabel() const { return m_icon; }
    QLabel *statusLabel() const { return m_status; }
    QLabel *pidLabel() const { return m_pid; }
    QLabel *sha1Label() const { return m_sha1; }
    QLabel *md5Label() const { return m_md5; }
    QLabel *filePathLabel() const { return m_filePath; }
    QLabel *isRunningLabel() const { return m_isRunning; }
    ModuleView *moduleView() const { return m_modules; }
    SocketTableView *socketView() const { return m_sockets; }

Q_SIGNALS:
    // The user asked to report the previewed process as wrongly flagged.
    void falsePositiveReportRequested(QString packedData);

public Q_SLOTS:
    void updatePreview(QString packedData, bool malicious, bool usesMaliciousModules);
    void handleModuleScanStarted();
    void handleModuleScanFinished();

protected Q_SLOTS:
    void sendFPReport();

private:
    QWidget *createEmptyPage();
    QWidget *createInfoPage();
    QLabel *addValue(class QFormLayout *form, const QString &caption, const char *name,
                     const QString &placeholder);

    QString m_fpData;
    QStackedWidget *m_stack = nullptr;
    QWidget *m_emptyPage = nullptr;
    QWidget *m_infoPage = nullptr;
    QFrame *m_malwareFrame = nullptr;
    QFrame *m_reportFrame = nullptr;
    QLabel *m_warning = nullptr;
    QLabel *m_reportLink = nullptr;
    QLabel *m_icon = nullptr;
    QLabel *m_name = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_pid = nullptr;
    QLabel *m_sha1 = nullptr;
    QLabel *m_md5 = nullptr;
    QLabel *m_filePath = nullptr;
    QLabel *m_isRunning = nullptr;
    SpinnerWidget *m_spinner = nullptr;
    ModuleView *m_modules = nullptr;
    QFrame *m_networkFrame = nullptr;
    SocketTableView *m_sockets = nullptr;
};
