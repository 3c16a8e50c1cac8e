#include "processes/processmonitor.h"
#include "processes/processsqlmodel.h"
#include "processes/winprocess.h"
#include "testenvironment.h"
#include "views/processdelegate.h"
#include "views/processinspector.h"
#include "views/processtab.h"
#include "views/processview.h"
#include "views/removemalwaretab.h"
#include "widgets/embeddedlabellineedit.h"

#include <QtSql>
#include <QtTest>

#include <QDataWidgetMapper>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QStackedWidget>
#include <QTextBlock>
#include <QTextDocument>

namespace {
const QString Md5A = QStringLiteral("0123456789abcdef0123456789abcdef");
const QString Sha1A = QStringLiteral("0123456789abcdef0123456789abcdef01234567");

// A registry answer for the table: "md5|detection rate|date".
QString answer(const QString &md5, int rate)
{
    return QStringLiteral("%1|%2|2010-06-01").arg(md5).arg(rate);
}
} // namespace

class TestProcessTab : public QObject
{
    Q_OBJECT

private:
    ProcessMonitor *m_monitor = nullptr;
    ProcessTab *m_tab = nullptr;

    ProcessSqlModel *model() const { return m_monitor->model(); }

    // A process with its digests and path, as the populator leaves it.
    void addDigested(const QString &record, const QString &md5, const QString &path)
    {
        model()->addProcesses({record});
        model()->setData(record, WinProcess::MD5, md5);
        model()->setData(record, WinProcess::SHA1, Sha1A);
        model()->setData(record, WinProcess::FilePath, path);
        QTRY_VERIFY_WITH_TIMEOUT(!model()->pathFromDigest(md5).isEmpty(), 5000);
        // The select that the property changes scheduled.
        QCoreApplication::processEvents();
    }

    int rowOf(const QString &name) const
    {
        for (int row = 0; row < model()->rowCount(); ++row)
            if (model()->baseName(row) == name)
                return row;
        return -1;
    }

    QStringList shownNames() const
    {
        QStringList names;
        for (int row = 0; row < model()->rowCount(); ++row)
            names << model()->baseName(row);
        return names;
    }

    void select(const QString &name)
    {
        const int row = rowOf(name);
        QVERIFY(row >= 0);
        m_tab->processView()->selectionModel()->setCurrentIndex(
            model()->index(row, 0), QItemSelectionModel::ClearAndSelect);
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
        ProcessMonitor::setTestMonitoringEnabled(false);
    }
    void init()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(db.open());
        m_monitor = new ProcessMonitor;
        m_tab = new ProcessTab(m_monitor);
        m_tab->resize(900, 600);
    }
    void cleanup()
    {
        delete m_tab;
        m_tab = nullptr;
        delete m_monitor;
        m_monitor = nullptr;
        QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }

    void delegatePaintsEachState_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("selected");
        QTest::addColumn<QColor>("background");
        QTest::addColumn<bool>("warningSign");
        QTest::newRow("being checked") << "checking" << false << QColor(Qt::lightGray) << false;
        QTest::newRow("checked clean") << "clean" << false << QColor(Qt::white) << false;
        QTest::newRow("malware running") << "running" << false << QColor(255, 152, 1) << true;
        QTest::newRow("malware ended") << "ended" << false << QColor(Qt::darkRed) << true;
        QTest::newRow("malicious modules, still checked")
            << "modules" << false << QColor(Qt::lightGray) << true;
        // The gradient from rgb(143, 158, 213) to rgb(27, 89, 184) at the
        // centre of the ninth of 16 pixel rows.
        QTest::newRow("selected malware") << "running" << true << QColor(77, 119, 197) << true;
    }
    void delegatePaintsEachState()
    {
        QFETCH(QString, name);
        QFETCH(bool, selected);
        QFETCH(QColor, background);
        QFETCH(bool, warningSign);
        model()->addProcesses({"10|checking|1", "11|clean|1", "12|modules|1"});
        addDigested(QStringLiteral("11|clean|1"), QStringLiteral("c").repeated(32), "/c");
        model()->setOrvexDataPacked(answer(QStringLiteral("c").repeated(32), 0));
        addDigested(QStringLiteral("20|running|1"), Md5A, "/evil");
        addDigested(QStringLiteral("21|ended|1"), Md5A, "/evil");
        model()->setOrvexDataPacked(answer(Md5A, 70));
        model()->removeProcesses({QStringLiteral("21|ended|1")});
        model()->malwareModuleFound(QStringLiteral("/lib/evil.so"), 12);
        QTRY_COMPARE_WITH_TIMEOUT(model()->hasMaliciousModules(rowOf(QStringLiteral("modules"))),
                                  true, 5000);

        QImage image(300, 16, QImage::Format_ARGB32);
        image.fill(Qt::black);
        QStyleOptionViewItem option;
        option.rect = image.rect();
        option.state =
            QStyle::State_Enabled | (selected ? QStyle::State_Selected : QStyle::State_None);
        option.palette = m_tab->palette();
        {
            QPainter painter(&image);
            m_tab->processView()->processDelegate()->paint(&painter, option,
                                                           model()->index(rowOf(name), 0));
        }
        // Right of the short name, left of the warning sign.
        const QColor painted = image.pixelColor(200, 8);
        QVERIFY2(qAbs(painted.red() - background.red()) <= 2 &&
                     qAbs(painted.green() - background.green()) <= 2 &&
                     qAbs(painted.blue() - background.blue()) <= 2,
                 qPrintable(painted.name() + " != " + background.name()));
        // The sign's right edge meets the item's right edge.
        bool signDrawn = false;
        for (int x = 284; x < 300; ++x)
            for (int y = 0; y < 16; ++y)
                signDrawn = signDrawn || image.pixelColor(x, y) != image.pixelColor(200, y);
        QCOMPARE(signDrawn, warningSign);
    }

    void processCountLabel()
    {
        QLabel *count = m_tab->processCountLabel();
        QCOMPARE(count->text(), QStringLiteral("0 Processes"));
        model()->addProcesses({"1|one|0"});
        QCOMPARE(count->text(), QStringLiteral("1 Process"));
        model()->addProcesses({"2|two|0", "3|three|0"});
        QCOMPARE(count->text(), QStringLiteral("3 Processes"));
        model()->removeProcesses({"1|one|0", "2|two|0", "3|three|0"});
        QCOMPARE(count->text(), QStringLiteral("0 Processes"));
        // The filter counts what it shows.
        model()->addProcesses({"1|one|0", "2|two|0"});
        QTest::keyClicks(m_tab->filterEdit(), QStringLiteral("tw"));
        QCOMPARE(count->text(), QStringLiteral("1 Process"));
    }

    void filterFindsNamesLiterally_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("quote") << "a'" << QStringList{"a'b"};
        QTest::newRow("percent") << "%" << QStringList{"100%_done"};
        QTest::newRow("underscore") << "0_d" << QStringList();
        QTest::newRow("percent and underscore") << "%_" << QStringList{"100%_done"};
        QTest::newRow("letter case") << "EXP" << QStringList{"explorer", "Export"};
    }
    void filterFindsNamesLiterally()
    {
        QFETCH(QString, typed);
        QFETCH(QStringList, shown);
        model()->addProcesses(
            {"1|explorer|0", "2|Export|0", "3|100%_done|0", "4|a'b|0", "5|100x0yd|0"});
        QTest::keyClicks(m_tab->filterEdit(), typed);
        QCOMPARE(shownNames(), shown);
        m_tab->filterEdit()->clear();
        QCOMPARE(shownNames().size(), 5);
    }

    void selectionKeptAcrossChanges()
    {
        ProcessView *view = m_tab->processView();
        QSignalSpy pids(view, &ProcessView::pidSelected);
        QSignalSpy infos(view, &ProcessView::selectedProcessInfo);
        model()->addProcesses({"30|kept|1", "31|other|1", "32|zulu|1"});
        select(QStringLiteral("kept"));
        QCOMPARE(pids.size(), 1);
        QCOMPARE(m_tab->inspector()->pidLabel()->text(), QStringLiteral("30"));

        // Rows come before and after it and others leave: every change re-selects.
        model()->addProcesses({"40|aaa|1", "41|abc|1", "42|zzz|1"});
        model()->removeProcesses({"31|other|1", "40|aaa|1"});
        addDigested(QStringLiteral("30|kept|1"), Md5A, QStringLiteral("/kept"));
        QCOMPARE(view->selectedRecord(), QStringLiteral("30|kept|1"));
        QCOMPARE(view->currentIndex().row(), rowOf(QStringLiteral("kept")));
        QCOMPARE(m_tab->inspector()->pidLabel()->text(), QStringLiteral("30"));
        QCOMPARE(m_tab->inspector()->filePathLabel()->text(), QStringLiteral("/kept"));
        // The module table is not filtered again for the same process.
        QCOMPARE(pids.size(), 1);
        QCOMPARE(infos.last().at(0).toString(), Md5A + u'|' + Sha1A + QStringLiteral("|/kept"));

        // A verdict reaches the inspector of the selected process at once.
        model()->setOrvexDataPacked(answer(Md5A, 70));
        QTRY_COMPARE_WITH_TIMEOUT(infos.last().at(1).toBool(), true, 5000);
        QCOMPARE(view->selectedRecord(), QStringLiteral("30|kept|1"));

        // A filter that still shows it keeps it; one that hides it leaves no
        // selection, and clearing it selects the process again.
        QTest::keyClicks(m_tab->filterEdit(), QStringLiteral("ke"));
        QCOMPARE(view->selectedRecord(), QStringLiteral("30|kept|1"));
        QTest::keyClicks(m_tab->filterEdit(), QStringLiteral("x"));
        QCOMPARE(model()->rowCount(), 0);
        QVERIFY(view->selectedRecord().isEmpty());
        m_tab->filterEdit()->clear();
        QCOMPARE(view->selectedRecord(), QStringLiteral("30|kept|1"));
        QCOMPARE(m_tab->inspector()->pidLabel()->text(), QStringLiteral("30"));

        // The user's own choice wins.
        select(QStringLiteral("zulu"));
        model()->addProcesses({"50|bbb|1"});
        QCOMPARE(view->selectedRecord(), QStringLiteral("32|zulu|1"));
        QCOMPARE(pids.last(), QVariantList{32u});
    }

    void inspectorCases_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<bool>("badModule");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<bool>("reportOffered");
        QTest::newRow("clean") << 0 << false << QString() << false;
        QTest::newRow("modules only")
            << 0 << true
            << "This process executable is not malicious, but it is using malicious modules."
            << false;
        QTest::newRow("malicious")
            << 70 << true << "This process executable is reported to be malicious." << true;
    }
    void inspectorCases()
    {
        QFETCH(int, rate);
        QFETCH(bool, badModule);
        QFETCH(QString, warning);
        QFETCH(bool, reportOffered);
        ProcessInspector *inspector = m_tab->inspector();
        auto *stack = inspector->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
        QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("page_empty"));

        const QString path = QStringLiteral("/opt/a|b/tool");
        addDigested(QStringLiteral("60|tool|1"), Md5A, path);
        model()->setOrvexDataPacked(answer(Md5A, rate));
        if (badModule)
            model()->malwareModuleFound(QStringLiteral("/lib/evil.so"), 60);
        QTRY_COMPARE_WITH_TIMEOUT(model()->hasMaliciousModules(rowOf(QStringLiteral("tool"))),
                                  badModule, 5000);
        m_tab->show();
        select(QStringLiteral("tool"));

        QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("page_info"));
        auto *frame = inspector->findChild<QFrame *>(QStringLiteral("frame_malware"));
        auto *report = inspector->findChild<QFrame *>(QStringLiteral("frame_report_malware"));
        auto *text = inspector->findChild<QLabel *>(QStringLiteral("label_malware_warning"));
        QCOMPARE(frame->isVisible(), !warning.isEmpty());
        QCOMPARE(text->text(), warning);
        QCOMPARE(report->isVisible(), reportOffered);
        QCOMPARE(inspector->nameLabel()->text(), QStringLiteral("tool"));
        QCOMPARE(inspector->md5Label()->text(), Md5A);
        QCOMPARE(inspector->filePathLabel()->text(), path);
        QCOMPARE(inspector->isRunningLabel()->text(), QStringLiteral("Yes"));
        // Digests in the system's fixed-width font, whatever it is called.
        const QString fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
        QCOMPARE(inspector->md5Label()->font().family(), fixed);
        QCOMPARE(inspector->sha1Label()->font().family(), fixed);

        QSignalSpy requested(m_tab, &ProcessTab::falsePositiveReportRequested);
        auto *link = inspector->findChild<QLabel *>(QStringLiteral("label_report_fp"));
        Q_EMIT link->linkActivated(QStringLiteral("#report_fp"));
        QCOMPARE(requested.size(), 1);
        QCOMPARE(requested.first().first().toString(), Md5A + u'|' + Sha1A + u'|' + path);
        m_tab->hide();
    }

    void removalPageLinksToTheConfiguredAddress()
    {
        const QUrl address(QStringLiteral("https://help.example/remove?a=1&b=\"x\""));
        RemoveMalwareTab tab(address);
        auto *explain = tab.findChild<QLabel *>(QStringLiteral("label_explain"));
        QVERIFY(explain);
        QTextDocument document;
        document.setHtml(explain->text());
        QString target;
        for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
            for (auto it = block.begin(); !it.atEnd(); ++it)
                if (it.fragment().charFormat().isAnchor())
                    target = it.fragment().charFormat().anchorHref();
        QCOMPARE(QUrl(target), address);
        QVERIFY(explain->openExternalLinks());
        QCOMPARE(document.toPlainText(),
                 QStringLiteral("Please visit our website for information on how to remove "
                                "malware and keep your computer protected from malware in the "
                                "future."));
    }
};

QTEST_MAIN(TestProcessTab)
#include "tst_processtab.moc"
