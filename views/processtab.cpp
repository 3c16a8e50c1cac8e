#include "views/processtab.h"

#include "processes/modulemanager.h"
#include "processes/moduleview.h"
#include "processes/processmonitor.h"
#include "processes/processsqlmodel.h"
#include "sockets/networkmanager.h"
#include "sockets/sockettableview.h"
#include "views/processinspector.h"
#include "views/processview.h"
#include "widgets/embeddedlabellineedit.h"

#include <QDataWidgetMapper>
#include <QFrame>
#include <QLabel>
#include <QSplitter>
#include <QVBoxLayout>

ProcessTab::ProcessTab(ProcessMonitor *monitor, QWidget *parent)
    : OrvexTab(parent), m_monitor(monitor)
{
    setObjectName(QStringLiteral("ProcessTab"));
    setWindowTitle(tr("Form"));
    setStyleSheet(QStringLiteral("#lineEdit_filter { border: 1px solid gray; border-radius: 4px; "
                                 "padding: 2px 0px 2px 3px; }"));
    auto *layout = new QVBoxLayout(this);
    layout->setObjectName(QStringLiteral("verticalLayout_3"));
    layout->setContentsMargins(0, 0, 0, 0);
    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("splitter"));
    layout->addWidget(m_splitter);

    auto *left = new QWidget(m_splitter);
    left->setObjectName(QStringLiteral("layoutWidget"));
    auto *leftLayout = new QVBoxLayout(left);
    leftLayout->setSpacing(0);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    m_view = new ProcessView(left);
    m_view->setObjectName(QStringLiteral("treeView"));
    leftLayout->addWidget(m_view);
    auto *filterFrame = new QFrame(left);
    filterFrame->setObjectName(QStringLiteral("frame_filter"));
    filterFrame->setFrameShape(QFrame::NoFrame);
    filterFrame->setFrameShadow(QFrame::Raised);
    auto *filterLayout = new QVBoxLayout(filterFrame);
    auto *filterRow = new QHBoxLayout;
    m_filter = new EmbeddedLabelLineEdit(filterFrame);
    m_filter->setObjectName(QStringLiteral("lineEdit_filter"));
    m_filter->setLabelText(tr("Search"));
    m_filter->setClearButtonEnabled(true);
    filterRow->addWidget(m_filter);
    filterLayout->addLayout(filterRow);
    m_count = new QLabel(tr("Process Count"), filterFrame);
    m_count->setObjectName(QStringLiteral("label_process_count"));
    filterLayout->addWidget(m_count);
    leftLayout->addWidget(filterFrame);

    m_inspector = new ProcessInspector(m_splitter);
    m_inspector->setObjectName(QStringLiteral("widget_inspector"));
    m_inspector->setMinimumWidth(500);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({300, 1280});

    ModuleManager *modules = monitor->moduleManager();
    connect(modules, &ModuleManager::moduleScanStarted, m_inspector,
            &ProcessInspector::handleModuleScanStarted);
    connect(modules, &ModuleManager::moduleScanFinished, m_inspector,
            &ProcessInspector::handleModuleScanFinished);

    // The socket monitor is built and wired but stays off, its table hidden.
    m_network = new NetworkManager(this);
    m_network->hide();
    m_network->setView(m_inspector->socketView());
    m_network->setScanEnabled(false);
    connect(m_view, &ProcessView::pidSelected, m_network, &NetworkManager::setFilterPID);

    ProcessSqlModel *model = monitor->model();
    m_view->setProcessModel(model);
    m_mapper = new QDataWidgetMapper(this);
    m_mapper->setModel(model);
    const struct
    {
        ProcessSqlModel::Section section;
        QLabel *label;
    } fields[] = {{ProcessSqlModel::BaseNameSection, m_inspector->nameLabel()},
                  {ProcessSqlModel::PidSection, m_inspector->pidLabel()},
                  {ProcessSqlModel::Md5Section, m_inspector->md5Label()},
                  {ProcessSqlModel::Sha1Section, m_inspector->sha1Label()},
                  {ProcessSqlModel::FilePathSection, m_inspector->filePathLabel()},
                  {ProcessSqlModel::StatusSection, m_inspector->statusLabel()},
                  {ProcessSqlModel::IsAliveSection, m_inspector->isRunningLabel()}};
    for (const auto &field : fields)
        m_mapper->addMapping(field.label, field.section, "text");
    m_mapper->addMapping(m_inspector->iconLabel(), ProcessSqlModel::LargeIconSection, "pixmap");
    connect(m_view->selectionModel(), &QItemSelectionModel::currentRowChanged, m_mapper,
            &QDataWidgetMapper::setCurrentModelIndex);
    connect(m_view, &ProcessView::selectedProcessInfo, m_inspector,
            &ProcessInspector::updatePreview);
    connect(m_view, &ProcessView::pidSelected, modules, &ModuleManager::setFilterPID);
    modules->setView(m_inspector->moduleView());
    // Every change re-selects the table, so its reset is what changes the count.
    connect(model, &QAbstractItemModel::modelReset, this, &ProcessTab::updateProcessCount);
    connect(model, &QAbstractItemModel::rowsInserted, this, &ProcessTab::updateProcessCount);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &ProcessTab::updateProcessCount);
    connect(m_filter, &QLineEdit::textChanged, model, &ProcessSqlModel::userSetFilter);
    connect(m_inspector, &ProcessInspector::falsePositiveReportRequested, this,
            &ProcessTab::falsePositiveReportRequested);

    connect(monitor, &ProcessMonitor::malwareProcessFound, this, &ProcessTab::malwareProcessFound);
    connect(monitor, &ProcessMonitor::malwareModuleFound, this, &ProcessTab::malwareModuleFound);
    connect(monitor, &ProcessMonitor::processScanStarted, this, &ProcessTab::processScanStarted);
    connect(monitor, &ProcessMonitor::processScanFinished, this, &ProcessTab::processScanFinished);
    connect(monitor, &ProcessMonitor::processScanEnabled, this, &ProcessTab::processScanEnabled);
    connect(monitor, &ProcessMonitor::privilegesNotSufficient, this,
            &ProcessTab::privilegesNotSufficient);
    connect(monitor, &ProcessMonitor::queryOrvex, this, &OrvexTab::queryOrvex);
    updateProcessCount();
}

ProcessTab::~ProcessTab() = default;

void ProcessTab::setScanEnabled(bool p_enabled)
{
    m_monitor->setScanEnabled(p_enabled);
}

void ProcessTab::setOrvexDataPacked(QString p_packed_data)
{
    m_monitor->setOrvexDataPacked(p_packed_data);
}

void ProcessTab::setOrvexData(QString, int, QVariant) {}

void ProcessTab::OrvexQueryStarted() {}

void ProcessTab::OrvexQueryFinished() {}

void ProcessTab::setOrvexDataUnanswered(QString) {}

void ProcessTab::updateProcessCount()
{
    const int count = m_monitor->model()->rowCount();
    m_count->setText(count == 1 ? tr("1 Process") : tr("%1 Processes").arg(count));
}
