#include "views/processinspector.h"

#include "processes/moduleview.h"
#include "sockets/sockettableview.h"
#include "widgets/spinnerwidget.h"

#include <QDebug>
#include <QFontDatabase>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {
const char StyleSheet[] =
    "#label_name, #label_instructions, #label_modules, #label_network, .caption { color: rgb(94, "
    "94, 94); }\n"
    "#label_malware_warning, #label_explain_fp { color: white; }\n"
    "#frame_malware { background: rgb(255, 151, 0); border: 1px solid white; border-top: none; }\n"
    "#frame_info, #frame_empty { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 "
    "rgba(219, 219, 221, 255), stop:1 rgba(180, 180, 184, 255)); }\n";

QLabel *newLabel(const QString &text, const char *name, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    return label;
}
} // namespace

ProcessInspector::ProcessInspector(QWidget *parent) : QWidget(parent)
{
    setStyleSheet(QLatin1String(StyleSheet));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_stack = new QStackedWidget(this);
    m_stack->setObjectName(QStringLiteral("stackedWidget"));
    layout->addWidget(m_stack);
    m_emptyPage = createEmptyPage();
    m_infoPage = createInfoPage();
    m_stack->addWidget(m_emptyPage);
    m_stack->addWidget(m_infoPage);

    m_malwareFrame->hide();
    connect(m_reportLink, &QLabel::linkActivated, this, &ProcessInspector::sendFPReport);
    m_stack->setCurrentWidget(m_emptyPage);
    m_networkFrame->hide();
}

QWidget *ProcessInspector::createEmptyPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("page_empty"));
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *frame = new QFrame(page);
    frame->setObjectName(QStringLiteral("frame_empty"));
    auto *inner = new QVBoxLayout(frame);
    QLabel *instructions =
        newLabel(tr("Select a process to view its information."), "label_instructions", frame);
    instructions->setAlignment(Qt::AlignCenter);
    instructions->setWordWrap(true);
    inner->addWidget(instructions);
    layout->addWidget(frame);
    return page;
}

QLabel *ProcessInspector::addValue(QFormLayout *form, const QString &caption, const char *name,
                                   const QString &placeholder)
{
    QLabel *captionLabel = new QLabel(caption);
    captionLabel->setProperty("class", QStringLiteral("caption"));
    QLabel *value = newLabel(placeholder, name, nullptr);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    value->setWordWrap(true);
    form->addRow(captionLabel, value);
    return value;
}

QWidget *ProcessInspector::createInfoPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("page_info"));
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_malwareFrame = new QFrame(page);
    m_malwareFrame->setObjectName(QStringLiteral("frame_malware"));
    auto *malwareLayout = new QHBoxLayout(m_malwareFrame);
    QLabel *statusIcon = newLabel(QString(), "label_status_icon", m_malwareFrame);
    statusIcon->setPixmap(QPixmap(QStringLiteral(":/warning_32x32.png")));
    statusIcon->setAlignment(Qt::AlignTop);
    malwareLayout->addWidget(statusIcon);
    auto *texts = new QVBoxLayout;
    m_warning = newLabel(tr("Multiple anti-virus programs report this program as malware."),
                         "label_malware_warning", m_malwareFrame);
    m_warning->setWordWrap(true);
    QFont bold = m_warning->font();
    bold.setBold(true);
    m_warning->setFont(bold);
    texts->addWidget(m_warning);
    m_reportFrame = new QFrame(m_malwareFrame);
    m_reportFrame->setObjectName(QStringLiteral("frame_report_malware"));
    auto *reportLayout = new QHBoxLayout(m_reportFrame);
    reportLayout->setContentsMargins(0, 0, 0, 0);
    reportLayout->addWidget(
        newLabel(tr("If you think this program is <b>not</b> malicious, please"),
                 "label_explain_fp", m_reportFrame));
    m_reportLink = newLabel(tr("<a href=\"#report_fp\" style=\"color: white;\">send us a "
                               "report...</a>"),
                            "label_report_fp", m_reportFrame);
    m_reportLink->setTextFormat(Qt::RichText);
    m_reportLink->setTextInteractionFlags(Qt::LinksAccessibleByMouse |
                                          Qt::LinksAccessibleByKeyboard);
    reportLayout->addWidget(m_reportLink);
    reportLayout->addStretch();
    texts->addWidget(m_reportFrame);
    malwareLayout->addLayout(texts, 1);
    layout->addWidget(m_malwareFrame);

    auto *info = new QFrame(page);
    info->setObjectName(QStringLiteral("frame_info"));
    auto *infoLayout = new QVBoxLayout(info);
    auto *heading = new QHBoxLayout;
    m_icon = newLabel(tr("Icon"), "label_icon", info);
    m_icon->setFixedSize(32, 32);
    m_icon->setScaledContents(true);
    heading->addWidget(m_icon);
    m_name = newLabel(tr("Process Name"), "label_name", info);
    QFont large = m_name->font();
    large.setPointSizeF(large.pointSizeF() * 1.4);
    large.setBold(true);
    m_name->setFont(large);
    heading->addWidget(m_name, 1);
    infoLayout->addLayout(heading);
    auto *form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    m_status = addValue(form, tr("Status"), "label_orvex_status", tr("status"));
    m_pid = addValue(form, tr("PID"), "label_pid", tr("pid"));
    m_sha1 = addValue(form, tr("SHA1"), "label_sha1", tr("SHA1"));
    m_md5 = addValue(form, tr("MD5"), "label_md5", tr("md5"));
    m_filePath = addValue(form, tr("File"), "label_file_path", tr("File Path"));
    m_isRunning = addValue(form, tr("Is Running?"), "label_is_running", tr("Yes"));
    // Digests line up when read against another copy of them.
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_sha1->setFont(fixed);
    m_md5->setFont(fixed);
    m_sha1->setWordWrap(false);
    m_md5->setWordWrap(false);
    infoLayout->addLayout(form);
    layout->addWidget(info);

    auto *splitter = new QSplitter(Qt::Vertical, page);
    splitter->setObjectName(QStringLiteral("splitter"));
    auto *modules = new QFrame(splitter);
    modules->setObjectName(QStringLiteral("frame_modules"));
    auto *modulesLayout = new QVBoxLayout(modules);
    auto *modulesTitle = new QHBoxLayout;
    modulesTitle->addWidget(
        newLabel(tr("Modules loaded by this process"), "label_modules", modules));
    m_spinner = new SpinnerWidget(modules);
    m_spinner->setObjectName(QStringLiteral("label_module_spinner"));
    m_spinner->hide();
    modulesTitle->addWidget(m_spinner);
    modulesTitle->addStretch();
    modulesLayout->addLayout(modulesTitle);
    m_modules = new ModuleView(modules);
    m_modules->setObjectName(QStringLiteral("tableView_modules"));
    modulesLayout->addWidget(m_modules);

    m_networkFrame = new QFrame(splitter);
    m_networkFrame->setObjectName(QStringLiteral("frame_network"));
    auto *networkLayout = new QVBoxLayout(m_networkFrame);
    networkLayout->addWidget(newLabel(tr("Network communications history by this process"),
                                      "label_network", m_networkFrame));
    m_sockets = new SocketTableView(m_networkFrame);
    m_sockets->setObjectName(QStringLiteral("tableView_sockets"));
    m_sockets->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_sockets->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_sockets->setShowGrid(false);
    m_sockets->setSortingEnabled(true);
    m_sockets->setWordWrap(false);
    m_sockets->verticalHeader()->hide();
    networkLayout->addWidget(m_sockets);
    layout->addWidget(splitter, 1);
    return page;
}

void ProcessInspector::updatePreview(QString packedData, bool malicious, bool usesMaliciousModules)
{
    m_fpData = packedData;
    m_stack->setCurrentWidget(m_infoPage);
    m_malwareFrame->hide();
    m_warning->clear();
    if (!malicious && !usesMaliciousModules)
        return;
    // Only a flagged executable can be reported: its modules are other files.
    m_reportFrame->setVisible(malicious);
    m_warning->setText(malicious ? tr("This process executable is reported to be malicious.")
                                 : tr("This process executable is not malicious, but it is using "
                                      "malicious modules."));
    m_malwareFrame->show();
}

void ProcessInspector::handleModuleScanStarted()
{
    qDebug() << "ProcessInspector::handleModuleScanStarted() called";
    m_spinner->show();
    m_spinner->startAnimation();
}

void ProcessInspector::handleModuleScanFinished()
{
    qDebug() << "ProcessInspector::handleModuleScanFinished() called";
    m_spinner->hide();
    m_spinner->stopAnimation();
}

void ProcessInspector::sendFPReport()
{
    Q_EMIT falsePositiveReportRequested(m_fpData);
}
