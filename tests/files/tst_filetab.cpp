#include "deeptree.h"
#include "files/digestcalculator.h"
#include "files/drivescanner.h"
#include "files/filescanlog.h"
#include "files/filetab.h"
#include "files/fileview.h"
#include "files/sqlmodel.h"
#include "files/userprompt.h"
#include "platform/clock.h"
#include "platform/filename.h"
#include "platform/mountedvolumes.h"
#include "registry/orvexcache.h"
#include "registry/orvexhandler.h"
#include "registrytestserver.h"
#include "testenvironment.h"
#include "views/scansummarywidget.h"

#include <QtTest>

#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTextDocumentFragment>
#include <QTextStream>
#include <QTimer>
#include <QToolButton>

#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {
const char ChildVariable[] = "TST_FILETAB_CHILD";
const quint32 Seen = 1275400000;
const QByteArray Eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
const QString EicarMd5 = QStringLiteral("44d88612fea8a8f36de82e1278abb02f");
const QColor Orange(255, 152, 1);
constexpr int ScanTimeout = 20000;

QString md5Of(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

QString writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

QString makeDir(const QString &path)
{
    QDir().mkpath(path);
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

// The tab's registry requests, wired as the main window wires them: one handler
// per list, sharing one cache, deleting itself at the end.
class RegistryRoad : public QObject
{
public:
    explicit RegistryRoad(FileTab *tab) : m_tab(tab)
    {
        connect(tab, &OrvexTab::queryOrvex, this, &RegistryRoad::query);
    }

    void query(QList<QString> digests)
    {
        ++queries;
        asked += digests;
        if (digests.isEmpty())
            return;
        auto *handler = new OrvexHandler(&cache);
        connect(handler, &QThread::finished, handler, &QObject::deleteLater);
        connect(handler, &OrvexHandler::setOrvexDataPacked, m_tab, &FileTab::setOrvexDataPacked);
        connect(handler, &QThread::started, m_tab, &FileTab::OrvexQueryStarted);
        connect(handler, &QThread::finished, m_tab, &FileTab::OrvexQueryFinished);
        // The tab's progress slots are protected: the main window reaches them by name.
        connect(handler, SIGNAL(progressMaximum(int)), m_tab, SLOT(setProgressMaximum(int)));
        connect(handler, SIGNAL(progressStep()), m_tab, SLOT(setProgressStep()));
        handler->sendQuery(digests);
    }

    OrvexCache cache;
    int queries = 0;
    QList<QString> asked;

private:
    FileTab *m_tab;
};

struct Row
{
    QString name;
    QString status;
    QVariant checkState;
    QVariant rate;
    QVariant background;
    QString size;
};

// Every row of the table, by path.
QMap<QString, Row> rowsByPath(SqlModel *model)
{
    model->fetchAll();
    QMap<QString, Row> rows;
    for (int row = 0; row < model->rowCount(); ++row) {
        auto cell = [&](int section) { return model->data(model->index(row, section)); };
        rows.insert(model->rowPath(row),
                    {cell(SqlModel::NameSection).toString(),
                     cell(SqlModel::StatusSection).toString(), cell(SqlModel::CheckStateSection),
                     cell(SqlModel::DetectionRateSection),
                     model->data(model->index(row, SqlModel::NameSection), Qt::BackgroundRole),
                     cell(SqlModel::SizeSection).toString()});
    }
    return rows;
}

QString plainSummary(FileTab &tab)
{
    auto *label = tab.findChild<QLabel *>(QStringLiteral("label_summary"));
    return label ? QTextDocumentFragment::fromHtml(label->text()).toPlainText() : QString();
}

// A duration as the scan log writes it for a short scan.
const QString Duration = QStringLiteral("(0 seconds|1 second|\\d+ seconds)");

QString pattern(const QString &literalBefore, const QString &literalAfter)
{
    return QStringLiteral("^%1%2%3$")
        .arg(QRegularExpression::escape(literalBefore), Duration,
             QRegularExpression::escape(literalAfter));
}

MountedVolumes::Volume volume(const QString &root, const QString &name, const QByteArray &type,
                              bool valid = true, bool ready = true)
{
    MountedVolumes::Volume v;
    v.rootPath = root;
    v.name = name;
    v.fileSystemType = type;
    v.valid = valid;
    v.ready = ready;
    return v;
}
} // namespace

class tst_FileTab : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RegistryTestServer> m_server;
    std::unique_ptr<FileTab> m_tab;
    std::unique_ptr<RegistryRoad> m_road;

    QString path(const QString &relative) const { return m_dir->filePath(relative); }

    // A tab over a fresh database, its registry road (unless the test plays the
    // registry itself) and a local registry server.
    FileTab &makeTab(bool withRegistry = true)
    {
        m_tab = std::make_unique<FileTab>();
        m_tab->setSystemDrive(makeDir(path(QStringLiteral("system"))));
        m_tab->setVolumeSource([] { return QList<MountedVolumes::Volume>(); });
        if (withRegistry)
            m_road = std::make_unique<RegistryRoad>(m_tab.get());
        return *m_tab;
    }

    template <typename T> T *child(const char *name) const
    {
        T *found = m_tab->findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("no child %s", name);
        return found;
    }
    QAction *action(const char *name) const { return child<QAction>(name); }
    QString countText() const { return child<QLabel>("label_file_count")->text(); }
    bool onFilesPage() const
    {
        return child<QStackedWidget>("stackedWidget_scan")->currentWidget() ==
               child<QWidget>("page_files");
    }

    // Scans the folder of four files with known verdicts to the end.
    void scanKnownFolder(const QString &folder)
    {
        m_server->setAnswer(md5Of("clean file\n"), Seen, 0);
        m_server->setAnswer(md5Of("pretend malware\n"), Seen, 12);
        writeFile(folder + QStringLiteral("/clean.bin"), "clean file\n");
        writeFile(folder + QStringLiteral("/bad.exe"), "pretend malware\n");
        writeFile(folder + QStringLiteral("/sub/unknown.dat"), "nobody knows\n");
        writeFile(folder + QStringLiteral("/sub/deep/odd|name <b>.txt"), "odd name\n");
        QSignalSpy finished(m_tab.get(), &FileTab::fileScanFinished);
        m_tab->handleFilesAndDirectoriesDrop({QFileInfo(folder)});
        QVERIFY(finished.wait(ScanTimeout));
    }

    static bool invoke(QObject *object, const char *method)
    {
        return QMetaObject::invokeMethod(object, method, Qt::DirectConnection);
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
    }

    void init()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(db.open());
        UserPrompt::setScripted(true);
        Clock::setTestWaitDivisor(50);
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_server = std::make_unique<RegistryTestServer>();
        QVERIFY(m_server->listen());
        qputenv("WINORVEX_REGISTRY", m_server->address());
    }

    void cleanup()
    {
        m_road.reset();
        m_tab.reset();
        // Handlers that finished delete themselves later.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_server.reset();
        m_dir.reset();
        UserPrompt::setScripted(false);
        Clock::resetTestSeam();
        qunsetenv("WINORVEX_REGISTRY");
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }

    void construction()
    {
        FileTab &tab = makeTab();
        QVERIFY(onFilesPage());
        QVERIFY(child<QLineEdit>("lineEdit_filter")->isHidden());
        QVERIFY(
            tab.findChild<ScanSummaryWidget *>(QStringLiteral("widget_scan_summary"))->isHidden());
        QCOMPARE(countText(), QStringLiteral("0 files."));
        for (const char *name :
             {"actionExport", "actionReport_False_Positive", "actionClear_Non_Malware_Entries",
              "actionReveal_File", "actionClear_Selected_Items"})
            QVERIFY2(!action(name)->isEnabled(), name);
        QVERIFY(action("actionUpload_File")->isEnabled());

        QStringList menu;
        for (QAction *entry : tab.actionsMenu()->actions())
            menu << (entry->isSeparator() ? QStringLiteral("-") : entry->text());
        QCOMPARE(menu,
                 QStringList({"Open File Location", "Report False Positive...", "-", "Export...",
                              "Clear Non-Malware Entries", "Clear Selected Items"}));
        QCOMPARE(child<QToolButton>("toolButton_table_actions")->menu(), tab.actionsMenu());
        const QList<QAction *> driveMenu =
            child<QToolButton>("toolButton_scan_drive")->menu()->actions();
        QCOMPARE(driveMenu.size(), 2);
        QCOMPARE(driveMenu.at(0)->menu(), tab.quickScanMenu());
        QCOMPARE(driveMenu.at(1)->menu(), tab.fullScanMenu());
        QCOMPARE(tab.quickScanMenu()->title(), QStringLiteral("Quick Scan"));
        QCOMPARE(tab.fullScanMenu()->title(), QStringLiteral("Full Scan"));

        // Visible columns: Name, Path, Time Scanned, Status, MD5, SHA-1, Size.
        auto *view = child<FileView>("tableView");
        QHeaderView *header = view->horizontalHeader();
        QStringList visible;
        for (int visual = 0; visual < header->count(); ++visual) {
            const int section = header->logicalIndex(visual);
            if (!header->isSectionHidden(section))
                visible << tab.fileModel()->headerData(section, Qt::Horizontal).toString();
        }
        QCOMPARE(visible,
                 QStringList({"Name", "Path", "Time Scanned", "Status", "MD5", "SHA-1", "Size"}));
        QVERIFY(view->acceptDrops());

        // Quick scans leave out the page and hibernation files of the system root.
        QCOMPARE(
            tab.driveScanner()->exclusions(),
            QList<QString>({QStringLiteral("/pagefile.sys"), QStringLiteral("/hiberfil.sys")}));
    }

    // A dropped folder runs the whole pipeline against the registry.
    void droppedFolderRunsThePipeline()
    {
        FileTab &tab = makeTab();
        QSignalSpy started(&tab, &FileTab::fileScanStarted);
        QSignalSpy finished(&tab, &FileTab::fileScanFinished);
        QSignalSpy aborted(&tab, &FileTab::fileScanAborted);
        QSignalSpy malware(&tab, &FileTab::malwareFileFound);
        QSignalSpy counts(&tab, &FileTab::fileCountChanged);
        const QString folder = makeDir(path(QStringLiteral("scan me")));
        scanKnownFolder(folder);

        QCOMPARE(started.count(), 1);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toBool(), true);
        QCOMPARE(aborted.count(), 0);
        QCOMPARE(malware.count(), 1);
        const QString bad = QDir::toNativeSeparators(folder + QStringLiteral("/bad.exe"));
        QCOMPARE(malware.at(0).at(0).toString(), bad);

        const QMap<QString, Row> rows = rowsByPath(tab.fileModel());
        QCOMPARE(rows.size(), 4);
        const QString clean = folder + QStringLiteral("/clean.bin");
        const QString unknown = folder + QStringLiteral("/sub/unknown.dat");
        const QString odd = folder + QStringLiteral("/sub/deep/odd|name <b>.txt");
        QCOMPARE(rows.value(bad).status, QStringLiteral("Malware detected."));
        QCOMPARE(rows.value(bad).rate.toInt(), 12);
        QCOMPARE(rows.value(bad).background.value<QColor>(), Orange);
        for (const QString &benign : {clean, unknown, odd}) {
            QVERIFY2(rows.contains(benign), qPrintable(benign));
            QCOMPARE(rows.value(benign).status, QStringLiteral("Not detected as malware."));
            QCOMPARE(rows.value(benign).checkState.toInt(), 4);
            QVERIFY(!rows.value(benign).background.isValid());
        }
        QCOMPARE(rows.value(clean).rate.toInt(), 0);
        QCOMPARE(rows.value(unknown).rate.toInt(), -1);
        QCOMPARE(rows.value(odd).name, QStringLiteral("odd|name <b>.txt"));
        // Sizes as the walk read them, each on its own row.
        for (const QString &file : {bad, clean, unknown, odd})
            QCOMPARE(rows.value(file).size, SqlModel::sizeText(QFileInfo(file).size()));
        // Malware comes first.
        QCOMPARE(tab.fileModel()->rowPath(0), bad);

        // One request with the four digests.
        QCOMPARE(m_road->queries, 1);
        QCOMPARE(m_server->requestCount(), 1);
        QCOMPARE(m_server->requests().at(0).digests.size(), 4);

        QCOMPARE(countText(), QStringLiteral("4 files."));
        QCOMPARE(counts.last().at(0).toInt(), 4);
        QVERIFY(action("actionExport")->isEnabled());
        QVERIFY(action("actionClear_Non_Malware_Entries")->isEnabled());

        // Back on the table, ready for the next drop.
        QVERIFY(onFilesPage());
        QVERIFY(child<FileView>("tableView")->acceptDrops());
        QVERIFY(child<QLabel>("label_file_scan_status")->text().isEmpty());
        QCOMPARE(child<FileView>("tableView")->horizontalHeader()->sortIndicatorSection(),
                 int(SqlModel::DetectionRateSection));
        QCOMPARE(child<FileView>("tableView")->horizontalHeader()->sortIndicatorOrder(),
                 Qt::DescendingOrder);

        // The banner tells the story, in orange.
        auto *summary = tab.findChild<ScanSummaryWidget *>(QStringLiteral("widget_scan_summary"));
        QVERIFY(!summary->isHidden());
        QVERIFY(summary->findChild<QFrame *>(QStringLiteral("frame"))
                    ->styleSheet()
                    .contains(QLatin1String("255, 152, 1")));
        const QRegularExpression sentence(
            pattern(QStringLiteral("The Full Scan of the directory \"%1\" took ").arg(folder),
                    QStringLiteral(" and found 1 malicious file of the 4 scanned.")));
        QVERIFY2(sentence.match(plainSummary(tab)).hasMatch(), qPrintable(plainSummary(tab)));
        QVERIFY(UserPrompt::takeShown().isEmpty());
    }

    // A second scan adds its rows; a clean result turns the banner blue and
    // counts only the new files.
    void secondScanCountsItsOwnFiles()
    {
        FileTab &tab = makeTab();
        scanKnownFolder(makeDir(path(QStringLiteral("first"))));
        const QString file = writeFile(path(QStringLiteral("second/only.txt")), "only\n");
        QSignalSpy finished(&tab, &FileTab::fileScanFinished);
        QSignalSpy malware(&tab, &FileTab::malwareFileFound);
        UserPrompt::setScriptedFiles({file});
        tab.userScanFiles();
        QVERIFY(finished.wait(ScanTimeout));
        QCOMPARE(malware.count(), 0);
        QCOMPARE(countText(), QStringLiteral("5 files."));
        const QRegularExpression sentence(pattern(QStringLiteral("The scan of \"only.txt\" took "),
                                                  QStringLiteral(" and it is not malicious.")));
        QVERIFY2(sentence.match(plainSummary(tab)).hasMatch(), qPrintable(plainSummary(tab)));
        auto *summary = tab.findChild<ScanSummaryWidget *>(QStringLiteral("widget_scan_summary"));
        QVERIFY(summary->findChild<QFrame *>(QStringLiteral("frame"))->styleSheet().isEmpty());

        // A cancelled dialog starts nothing.
        QSignalSpy started(&tab, &FileTab::fileScanStarted);
        UserPrompt::setScriptedFiles({});
        tab.userScanFiles();
        UserPrompt::setScriptedDirectory(QString());
        tab.userScanFolder();
        QCoreApplication::processEvents();
        QVERIFY(!tab.isScanRunning());
        QCOMPARE(started.count(), 0);
    }

    // The EICAR test file is malware to the tab whatever its name holds and
    // however deep it lies.
    void namesAndDepthHideNothing_data()
    {
        QTest::addColumn<bool>("deep");
        QTest::newRow("name with the byte 0xE9") << false;
        QTest::newRow("deeper than PATH_MAX") << true;
    }

    void namesAndDepthHideNothing()
    {
        QFETCH(bool, deep);
        FileTab &tab = makeTab();
        m_server->setAnswer(EicarMd5, Seen, 66);
        const QString folder = makeDir(path(QStringLiteral("scanned")));
        std::unique_ptr<DeepTree> tree;
        QString file;
        QString shownName = QStringLiteral("eicar.com");
        if (deep) {
            tree = std::make_unique<DeepTree>(folder, 2100);
            QVERIFY(tree->isValid());
            QVERIFY(tree->writeFile(tree->depth(), "eicar.com", Eicar));
            file = tree->folderPath(tree->depth()) + QStringLiteral("/eicar.com");
            QVERIFY(FileName::toBytes(file).size() > 4096);
        } else {
            const QByteArray raw = QFile::encodeName(folder) + "/caf\xe9 eicar.com";
            const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, Eicar.constData(), size_t(Eicar.size())), ssize_t(Eicar.size()));
            ::close(fd);
            file = FileName::fromBytes(raw);
            shownName = QStringLiteral("caf\\xe9 eicar.com");
        }
        // Qt's own folder removal cannot name it.
        const auto removeRaw = qScopeGuard([&] {
            if (!deep)
                ::unlink(FileName::toBytes(file).constData());
        });
        QSignalSpy malware(&tab, &FileTab::malwareFileFound);
        QSignalSpy finished(&tab, &FileTab::fileScanFinished);
        tab.handleFilesAndDirectoriesDrop({QFileInfo(folder)});
        QVERIFY(finished.wait(ScanTimeout));
        QCOMPARE(malware.count(), 1);
        QCOMPARE(malware.at(0).at(0).toString(), file);
        const QMap<QString, Row> rows = rowsByPath(tab.fileModel());
        QCOMPARE(rows.keys(), QList<QString>{file});
        QCOMPARE(rows.value(file).status, QStringLiteral("Malware detected."));
        QCOMPARE(rows.value(file).rate.toInt(), 66);
        QCOMPARE(rows.value(file).name, shownName);
        const QRegularExpression sentence(
            pattern(QStringLiteral("The Full Scan of the directory \"%1\" took ").arg(folder),
                    QStringLiteral(" and found 1 malicious file of the 1 scanned.")));
        QVERIFY2(sentence.match(plainSummary(tab)).hasMatch(), qPrintable(plainSummary(tab)));
    }

    // What a file dialog answers is decoded text: a name that holds a
    // character which the lossless form uses for its escapes still reaches
    // its file.
    void dialogAnswersReachTheirFiles_data()
    {
        QTest::addColumn<bool>("folder");
        QTest::newRow("files") << false;
        QTest::newRow("folder") << true;
    }

    void dialogAnswersReachTheirFiles()
    {
        QFETCH(bool, folder);
        FileTab &tab = makeTab();
        const QString name = QStringLiteral("private \uefe9 use");
        const QString file = writeFile(path(name + QStringLiteral("/") + name), "private use\n");
        QSignalSpy finished(&tab, &FileTab::fileScanFinished);
        if (folder) {
            UserPrompt::setScriptedDirectory(path(name));
            tab.userScanFolder();
        } else {
            UserPrompt::setScriptedFiles({file});
            tab.userScanFiles();
        }
        QVERIFY(finished.wait(ScanTimeout));
        const QMap<QString, Row> rows = rowsByPath(tab.fileModel());
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().status, QStringLiteral("Not detected as malware."));
        QCOMPARE(FileName::toBytes(rows.firstKey()), QFile::encodeName(file));
    }

    // Folders the user may not read are counted once, at the end of the scan;
    // a dropped folder that could not be read says so rather than that it is
    // empty. Root reads every folder, so the tab runs as an unprivileged user.
    void unreadableFoldersAreCountedAtTheEnd_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("prompt");
        QTest::newRow("folder in the walk")
            << QStringLiteral("tree")
            << QStringLiteral(" and found 0 malicious files of the 1 scanned. 1 folder could not "
                              "be read.")
            << QString();
        QTest::newRow("dropped folder")
            << QStringLiteral("tree/closed")
            << QStringLiteral(" and found 0 malicious files of the 0 scanned. 1 folder could not "
                              "be read.")
            << QStringLiteral("Scan Information|The directory '%1' could not be read: "
                              "Permission denied.");
    }

    void unreadableFoldersAreCountedAtTheEnd()
    {
        QFETCH(QString, item);
        QFETCH(QString, summary);
        QFETCH(QString, prompt);
        const QString closed = path(QStringLiteral("tree/closed"));
        writeFile(path(QStringLiteral("tree/open.txt")), "open\n");
        writeFile(closed + QStringLiteral("/secret.txt"), "secret\n");
        const QFileDevice::Permissions readable =
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther;
        const QFileDevice::Permissions enterable =
            readable | QFileDevice::ExeOwner | QFileDevice::ExeOther;
        for (const QString &folder : {m_dir->path(), path(QStringLiteral("tree"))})
            QVERIFY(QFile::setPermissions(folder, enterable));
        QVERIFY(QFile::setPermissions(path(QStringLiteral("tree/open.txt")), readable));
        // Closed to its owner too, for a run that is not root's.
        QVERIFY(QFile::setPermissions(closed, QFileDevice::Permissions()));
        const auto reopen = qScopeGuard([&] { QFile::setPermissions(closed, enterable); });

        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        if (::geteuid() == 0)
            child.start(QStringLiteral("setpriv"),
                        {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                         QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                         path(item)});
        else
            child.start(QCoreApplication::applicationFilePath(), {path(item)});
        QVERIFY2(child.waitForFinished(ScanTimeout * 2), child.readAllStandardError().constData());
        const QByteArray err = child.readAllStandardError();
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY2(child.exitCode() == 0, err.constData());
        QStringList lines =
            QString::fromUtf8(child.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY2(!lines.isEmpty(), err.constData());
        const QRegularExpression sentence(pattern(
            QStringLiteral("summary: The Full Scan of the directory \"%1\" took ").arg(path(item)),
            summary));
        QVERIFY2(sentence.match(lines.takeFirst()).hasMatch(), qPrintable(lines.join(u'\n')));
        QCOMPARE(lines, prompt.isEmpty()
                            ? QStringList()
                            : QStringList{QStringLiteral("prompt: ") + prompt.arg(closed)});
    }

    void emptyScansTellTheUser_data()
    {
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<bool>("quick");
        QTest::addColumn<QString>("message");
        QTest::newRow("one empty folder")
            << QStringList{"empty"} << false
            << QStringLiteral("The directory '%1' doesn't contain any files.");
        QTest::newRow("two empty folders")
            << QStringList{"empty", "void"} << false
            << QStringLiteral("The directories '%1' don't contain any files.");
        QTest::newRow("quick scan keeps nothing")
            << QStringList{"system"} << true
            << QStringLiteral("The Quick Scan of '%1' didn't find any interesting files.\n\nA "
                              "Quick Scan may not scan all files on a drive.\nPlease run a Full "
                              "Scan to scan every file on a drive.");
    }
    void emptyScansTellTheUser()
    {
        QFETCH(QStringList, folders);
        QFETCH(bool, quick);
        QFETCH(QString, message);
        FileTab &tab = makeTab();
        // Files a quick scan passes over: neither a risky ending nor executable.
        writeFile(path(QStringLiteral("system/readme.txt")), "text\n");
        writeFile(path(QStringLiteral("system/big/photo.jpg")), "jpeg\n");
        QStringList named;
        QList<QFileInfo> items;
        for (const QString &folder : folders) {
            named << makeDir(path(folder));
            items << QFileInfo(path(folder));
        }
        QSignalSpy finished(&tab, &FileTab::fileScanFinished);
        if (quick) {
            QTest::ignoreMessage(QtDebugMsg, "FileTab::userScanComputer() called");
            tab.userScanComputer();
        } else {
            tab.handleFilesAndDirectoriesDrop(items);
        }
        QVERIFY(finished.wait(ScanTimeout));
        QCOMPARE(finished.at(0).at(0).toBool(), false);
        QCOMPARE(m_road->queries, 0);
        const QList<UserPrompt::Shown> shown = UserPrompt::takeShown();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.at(0).icon, QMessageBox::Information);
        QCOMPARE(shown.at(0).title, QStringLiteral("Scan Information"));
        QCOMPARE(shown.at(0).text, message.arg(named.join(QStringLiteral(", "))));
        QVERIFY(onFilesPage());
        QCOMPARE(tab.driveScanner()->scanType(), quick ? 0 : 1);
    }

    // A drop of nothing that exists (the summary tab reports it as an empty
    // list) is no scan; nor is a second scan over a running one.
    void noScanFromNothingOrOverARunningScan()
    {
        FileTab &tab = makeTab(false);
        QSignalSpy started(&tab, &FileTab::fileScanStarted);
        QSignalSpy query(&tab, &FileTab::queryOrvex);
        tab.handleFilesAndDirectoriesDrop({});
        QCoreApplication::processEvents();
        QVERIFY(!tab.isScanRunning());
        QCOMPARE(started.count(), 0);
        QVERIFY(UserPrompt::takeShown().isEmpty());

        writeFile(path(QStringLiteral("a/one.txt")), "one\n");
        writeFile(path(QStringLiteral("b/two.txt")), "two\n");
        tab.handleFilesAndDirectoriesDrop({QFileInfo(path(QStringLiteral("a")))});
        QVERIFY(query.wait(ScanTimeout)); // waiting for the registry now
        QTest::ignoreMessage(QtWarningMsg,
                             "FileTab::startScan() ignored: a scan is already running");
        tab.handleFilesAndDirectoriesDrop({QFileInfo(path(QStringLiteral("b")))});
        QTest::ignoreMessage(QtWarningMsg,
                             "FileTab::startScan() ignored: a scan is already running");
        tab.userScanComputer();
        QCOMPARE(tab.driveScanner()->drives(),
                 QList<QString>({QDir::toNativeSeparators(path(QStringLiteral("a")))}));
        tab.OrvexQueryFinished();
        QVERIFY(!tab.isScanRunning());
        QCOMPARE(started.count(), 1);
        QCOMPARE(tab.fileModel()->fileCount(), 1);
    }

    // Ends reported when no scan runs (a second stop answer, a stray handler)
    // end nothing and summarise nothing.
    void endsOutsideAScanAreIgnored()
    {
        FileTab &tab = makeTab(false);
        QSignalSpy finished(&tab, &FileTab::fileScanFinished);
        QSignalSpy aborted(&tab, &FileTab::fileScanAborted);
        QSignalSpy summaries(tab.scanLog(), &FileScanLog::scanSummary);
        tab.OrvexQueryFinished();
        QVERIFY(invoke(&tab, "handleFileScanAborted"));
        QVERIFY(invoke(&tab, "handleFileScanFinished"));
        QCOMPARE(finished.count(), 0);
        QCOMPARE(aborted.count(), 0);
        QCOMPARE(summaries.count(), 0);

        // One scan, stopped, then its second worker's stop answer as well.
        writeFile(path(QStringLiteral("a/one.txt")), "one\n");
        QSignalSpy query(&tab, &FileTab::queryOrvex);
        tab.handleFilesAndDirectoriesDrop({QFileInfo(path(QStringLiteral("a")))});
        QVERIFY(query.wait(ScanTimeout));
        QVERIFY(invoke(&tab, "handleFileScanAborted"));
        QVERIFY(invoke(&tab, "handleFileScanAborted"));
        tab.OrvexQueryFinished();
        QCOMPARE(aborted.count(), 1);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(summaries.count(), 1);
    }

    void stopDuringTheWalk()
    {
        FileTab &tab = makeTab();
        const QString first = makeDir(path(QStringLiteral("first")));
        scanKnownFolder(first);
        const int answered = tab.fileModel()->fileCount();

        const QString second = makeDir(path(QStringLiteral("many")));
        for (int i = 0; i < 400; ++i)
            writeFile(QStringLiteral("%1/d%2/f%3.bin").arg(second).arg(i % 40).arg(i),
                      QByteArray::number(i));
        QSignalSpy aborted(&tab, &FileTab::fileScanAborted);
        QSignalSpy finished(&tab, &FileTab::fileScanFinished);
        QSignalSpy query(&tab, &FileTab::queryOrvex);
        tab.handleFilesAndDirectoriesDrop({QFileInfo(second)});
        auto *stop = child<QPushButton>("pushButton_file_stop_drive_scan");
        QVERIFY(stop->isEnabled());
        QVERIFY(!child<FileView>("tableView")->acceptDrops());
        QVERIFY(!onFilesPage());
        QTest::ignoreMessage(QtDebugMsg, "DriveScanner::userRequestStop() called");
        tab.userStopScan();
        QVERIFY(!stop->isEnabled());

        QVERIFY(aborted.wait(ScanTimeout));
        // Late reports of the walk, if any, add nothing.
        QTest::qWait(200);
        QCOMPARE(aborted.count(), 1);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(query.count(), 0);
        QCOMPARE(tab.fileModel()->fileCount(), answered);
        for (const QString &rowPath : rowsByPath(tab.fileModel()).keys())
            QVERIFY2(rowPath.startsWith(first), qPrintable(rowPath));
        QCOMPARE(countText(), QStringLiteral("%1 files.").arg(answered));
        QVERIFY(onFilesPage());
        QVERIFY(child<FileView>("tableView")->acceptDrops());
        QVERIFY(child<QLabel>("label_file_scan_status")->text().isEmpty());
        const QRegularExpression sentence(pattern(
            QStringLiteral("The Full Scan of the directory \"%1\" was aborted after ").arg(second),
            QStringLiteral(".")));
        QVERIFY2(sentence.match(plainSummary(tab)).hasMatch(), qPrintable(plainSummary(tab)));

        // The tab scans again after a stop.
        QSignalSpy again(&tab, &FileTab::fileScanFinished);
        tab.handleFilesAndDirectoriesDrop(
            {QFileInfo(writeFile(path(QStringLiteral("after.txt")), "after\n"))});
        QVERIFY(again.wait(ScanTimeout));
        QCOMPARE(tab.fileModel()->fileCount(), answered + 1);
    }

    void stopDuringDigesting()
    {
        FileTab &tab = makeTab();
        const QString folder = makeDir(path(QStringLiteral("big")));
        writeFile(folder + QStringLiteral("/small.txt"), "small\n");
        {
            // Sparse: large to digest, nothing on disk.
            QFile big(folder + QStringLiteral("/big.bin"));
            QVERIFY(big.open(QIODevice::WriteOnly));
            QVERIFY(big.resize(qint64(1) << 30));
        }
        QSignalSpy aborted(&tab, &FileTab::fileScanAborted);
        QSignalSpy query(&tab, &FileTab::queryOrvex);
        tab.handleFilesAndDirectoriesDrop({QFileInfo(folder)});
        QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>("label_file_scan_status")->text(),
                                  QStringLiteral("Calculating digests..."), ScanTimeout);
        QVERIFY(tab.digestWorker()->isRunning());
        tab.userStopScan();
        QVERIFY(aborted.wait(ScanTimeout));
        QCOMPARE(aborted.count(), 1);
        QCOMPARE(query.count(), 0);
        QCOMPARE(tab.fileModel()->fileCount(), 0);
        QCOMPARE(countText(), QStringLiteral("0 files."));
        QVERIFY(!action("actionExport")->isEnabled());
        QVERIFY(onFilesPage());
        const QRegularExpression sentence(pattern(
            QStringLiteral("The Full Scan of the directory \"%1\" was aborted after ").arg(folder),
            QStringLiteral(".")));
        QVERIFY2(sentence.match(plainSummary(tab)).hasMatch(), qPrintable(plainSummary(tab)));
    }

    void selectionEnablesActions_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("malicious");
        QTest::addColumn<bool>("reveal");
        QTest::addColumn<bool>("report");
        QTest::addColumn<QString>("clearText");
        QTest::newRow("none") << 0 << false << false << false << "Clear Selected Items";
        QTest::newRow("one benign") << 1 << false << true << false << "Clear Selected Item";
        QTest::newRow("one malicious") << 1 << true << true << true << "Clear Selected Item";
        QTest::newRow("two with malware")
            << 2 << true << false << false << "Clear 2 Selected Items";
        QTest::newRow("many") << 1234 << false << false << false << "Clear 1234 Selected Items";
    }
    void selectionEnablesActions()
    {
        QFETCH(int, count);
        QFETCH(bool, malicious);
        QFETCH(bool, reveal);
        QFETCH(bool, report);
        QFETCH(QString, clearText);
        FileTab &tab = makeTab(false);
        QVERIFY(QMetaObject::invokeMethod(&tab, "handleFileSelectionChange", Qt::DirectConnection,
                                          Q_ARG(int, count), Q_ARG(bool, malicious)));
        QCOMPARE(action("actionReveal_File")->isEnabled(), reveal);
        QCOMPARE(action("actionReport_False_Positive")->isEnabled(), report);
        QCOMPARE(action("actionClear_Selected_Items")->isEnabled(), count > 0);
        QCOMPARE(action("actionClear_Selected_Items")->text(), clearText);
    }

    // The same rules through the view's real selection, then clearing rows.
    void selectingAndClearingRows()
    {
        FileTab &tab = makeTab();
        scanKnownFolder(makeDir(path(QStringLiteral("rows"))));
        auto *view = child<FileView>("tableView");
        SqlModel *model = tab.fileModel();
        QVERIFY(model->isRowMalicious(0));

        view->selectRow(1);
        QVERIFY(action("actionReveal_File")->isEnabled());
        QVERIFY(!action("actionReport_False_Positive")->isEnabled());
        QVERIFY(action("actionClear_Selected_Items")->isEnabled());
        QCOMPARE(action("actionClear_Selected_Items")->text(),
                 QStringLiteral("Clear Selected Item"));

        view->selectRow(0);
        QVERIFY(action("actionReport_False_Positive")->isEnabled());

        view->selectionModel()->select(model->index(2, SqlModel::NameSection),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QVERIFY(!action("actionReveal_File")->isEnabled());
        QVERIFY(!action("actionReport_False_Positive")->isEnabled());
        QCOMPARE(action("actionClear_Selected_Items")->text(),
                 QStringLiteral("Clear 2 Selected Items"));

        // Clearing the malicious row and another: the count, the actions and the
        // alerts follow.
        QSignalSpy removed(&tab, &FileTab::malwareFileRemoved);
        QSignalSpy counts(&tab, &FileTab::fileCountChanged);
        const QString bad = model->rowPath(0);
        UserPrompt::setScriptedButton(QMessageBox::Yes);
        action("actionClear_Selected_Items")->trigger();
        QCOMPARE(UserPrompt::takeShown().size(), 1);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.at(0).at(0).toString(), bad);
        QCOMPARE(model->fileCount(), 2);
        QCOMPARE(countText(), QStringLiteral("2 files."));
        QVERIFY(!counts.isEmpty());
        QCOMPARE(counts.last().at(0).toInt(), 2);
        QVERIFY(!action("actionClear_Selected_Items")->isEnabled());
        QVERIFY(!action("actionReveal_File")->isEnabled());
    }

    void clearNonMalwareEntries_data()
    {
        QTest::addColumn<QMessageBox::StandardButton>("answer");
        QTest::addColumn<int>("remaining");
        // The two files the registry has no data for go.
        QTest::newRow("yes") << QMessageBox::Yes << 2;
        QTest::newRow("no") << QMessageBox::No << 4;
    }
    void clearNonMalwareEntries()
    {
        QFETCH(QMessageBox::StandardButton, answer);
        QFETCH(int, remaining);
        FileTab &tab = makeTab();
        scanKnownFolder(makeDir(path(QStringLiteral("benign"))));
        UserPrompt::takeShown();
        UserPrompt::setScriptedButton(answer);
        action("actionClear_Non_Malware_Entries")->trigger();
        const QList<UserPrompt::Shown> shown = UserPrompt::takeShown();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.at(0).icon, QMessageBox::Question);
        QCOMPARE(shown.at(0).title, QStringLiteral("Confirm Clear"));
        QCOMPARE(shown.at(0).text,
                 QStringLiteral("Are you sure you want to clear all non-malicious file entries?"));
        QCOMPARE(tab.fileModel()->fileCount(), remaining);
        QCOMPARE(countText(), QStringLiteral("%1 files.").arg(remaining));
    }

    void fileCountText_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("text");
        QTest::newRow("none") << 0 << QStringLiteral("0 files.");
        QTest::newRow("one") << 1 << QStringLiteral("1 file.");
        QTest::newRow("two") << 2 << QStringLiteral("2 files.");
        QTest::newRow("grouped") << 123456
                                 << QLocale().toString(123456) + QStringLiteral(" files.");
    }
    void fileCountText()
    {
        QFETCH(int, count);
        QFETCH(QString, text);
        FileTab &tab = makeTab(false);
        QSignalSpy counts(&tab, &FileTab::fileCountChanged);
        QVERIFY(QMetaObject::invokeMethod(&tab, "handleFileCountChanged", Qt::DirectConnection,
                                          Q_ARG(int, count)));
        QCOMPARE(countText(), text);
        QCOMPARE(counts.count(), 1);
        QCOMPARE(counts.at(0).at(0).toInt(), count);
        QCOMPARE(action("actionExport")->isEnabled(), count != 0);
        QCOMPARE(action("actionClear_Non_Malware_Entries")->isEnabled(), count != 0);
    }

    // More rows than one fetch brings are all counted.
    void countCoversUnfetchedRows()
    {
        FileTab &tab = makeTab(false);
        QList<QString> files;
        for (int i = 0; i < 700; ++i)
            files << QStringLiteral("/nowhere/f%1").arg(i);
        tab.fileModel()->addFiles(files, 1);
        tab.fileModel()->select();
        QVERIFY(tab.fileModel()->canFetchMore());
        QCOMPARE(countText(), QStringLiteral("700 files."));
    }

    // A big table is fetched whole in slices.
    void bigTableIsFetchedWhole()
    {
        FileTab &tab = makeTab(false);
        QList<QString> files;
        for (int i = 0; i < 20000; ++i)
            files << QStringLiteral("/nowhere/f%1").arg(i);
        tab.fileModel()->addFiles(files, 1);
        QSignalSpy counts(&tab, &FileTab::fileCountChanged);
        QVERIFY(QMetaObject::invokeMethod(&tab, "userSetFilter", Qt::DirectConnection,
                                          Q_ARG(QString, QString())));
        // The table waits for every row before it paints again, and paints then.
        auto *view = child<FileView>("tableView");
        if (tab.fileModel()->canFetchMore())
            QVERIFY(!view->updatesEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!tab.fileModel()->canFetchMore(), ScanTimeout);
        QTRY_VERIFY(view->updatesEnabled());
        QCOMPARE(tab.fileModel()->rowCount(), 20000);
        // Once for the re-select and once at the end, not once per fetched block.
        QVERIFY(!counts.isEmpty());
        QVERIFY(counts.count() <= 2);
        for (const QList<QVariant> &count : counts)
            QCOMPARE(count.at(0).toInt(), 20000);
        QCOMPARE(countText(), QLocale().toString(20000) + QStringLiteral(" files."));
    }

    void automaticScanDelay_data()
    {
        QTest::addColumn<QTime>("now");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<qint64>("delay");
        const qint64 minute = 60000;
        QTest::newRow("a minute ahead") << QTime(12, 0) << QTime(12, 1) << minute;
        QTest::newRow("a minute past")
            << QTime(12, 0) << QTime(11, 59) << 24 * 60 * minute - minute;
        QTest::newRow("right now") << QTime(12, 0) << QTime(12, 0) << 24 * 60 * minute;
        QTest::newRow("past midnight") << QTime(23, 59, 30) << QTime(0, 0, 30) << minute;
        QTest::newRow("early morning") << QTime(1, 0) << QTime(2, 0) << 60 * minute;
        QTest::newRow("milliseconds") << QTime(1, 0, 0, 250) << QTime(1, 0, 1) << qint64(750);
    }
    void automaticScanDelay()
    {
        QFETCH(QTime, now);
        QFETCH(QTime, time);
        QFETCH(qint64, delay);
        const QDateTime at(QDate(2026, 3, 10), now, Qt::UTC);
        QCOMPARE(FileTab::automaticScanDelay(at, time), delay);
    }

    void schedulingTheDailyScan()
    {
        FileTab &tab = makeTab(false);
        const QTime now = Clock::currentDateTime().time();
        QTest::ignoreMessage(QtDebugMsg, "FileTab::scheduleAutomaticDriveScan() called");
        tab.scheduleAutomaticDriveScan(now.addSecs(60));
        QVERIFY(tab.automaticScanTimer().isActive());
        QVERIFY2(qAbs(tab.automaticScanTimer().remainingTime() - 60000) < 2000,
                 qPrintable(QString::number(tab.automaticScanTimer().remainingTime())));

        tab.scheduleAutomaticDriveScan(now.addSecs(-60));
        const int tomorrow = 24 * 3600 * 1000 - 60000;
        QVERIFY2(qAbs(tab.automaticScanTimer().remainingTime() - tomorrow) < 2000,
                 qPrintable(QString::number(tab.automaticScanTimer().remainingTime())));

        // Time moved on by an hour: the same setting is now 59 minutes away.
        Clock::advanceTestTime(-3600);
        tab.scheduleAutomaticDriveScan(now.addSecs(-60));
        QVERIFY(qAbs(tab.automaticScanTimer().remainingTime() - 59 * 60000) < 2000);

        QTest::ignoreMessage(QtDebugMsg, "FileTab::scheduleAutomaticDriveScan() called");
        QTest::ignoreMessage(QtDebugMsg,
                             "FileTab::scheduleAutomaticDriveScan() stopping automatic drive scan");
        tab.scheduleAutomaticDriveScan(QTime());
        QVERIFY(!tab.automaticScanTimer().isActive());
        QVERIFY(tab.automaticScanTime().isNull());
    }

    // A due scan starts a quick scan of the system drive and arms the timer for
    // the next day, also when the timer fired a little early.
    void dueScanStartsAndRearms_data()
    {
        QTest::addColumn<int>("offsetSecs");
        QTest::newRow("a minute late") << -60;
        QTest::newRow("half a minute early") << 30;
    }
    void dueScanStartsAndRearms()
    {
        QFETCH(int, offsetSecs);
        FileTab &tab = makeTab();
        writeFile(path(QStringLiteral("system/bin/tool.exe")), "tool\n");
        writeFile(path(QStringLiteral("system/readme.txt")), "readme\n");
        tab.scheduleAutomaticDriveScan(Clock::currentDateTime().time().addSecs(offsetSecs));
        QSignalSpy automatic(&tab, &FileTab::automaticScanStarted);
        QSignalSpy finished(&tab, &FileTab::fileScanFinished);
        QTest::ignoreMessage(QtDebugMsg, "FileTab::startAutomaticDriveScan() called");
        QVERIFY(invoke(&tab, "startAutomaticDriveScan"));
        QCOMPARE(automatic.count(), 1);
        const int nextDay = 24 * 3600 * 1000 + offsetSecs * 1000;
        QVERIFY2(qAbs(tab.automaticScanTimer().remainingTime() - nextDay) < 2000,
                 qPrintable(QString::number(tab.automaticScanTimer().remainingTime())));
        QVERIFY(finished.wait(ScanTimeout));
        QCOMPARE(tab.driveScanner()->scanType(), 0);
        QCOMPARE(tab.driveScanner()->drives(), QList<QString>({tab.systemDrive()}));
        const QMap<QString, Row> rows = rowsByPath(tab.fileModel());
        QCOMPARE(rows.keys(), QList<QString>({path(QStringLiteral("system/bin/tool.exe"))}));
    }

    // The automatic scan waits while a user scan runs, in every phase up to the
    // registry's answers, trying again every five minutes.
    void automaticScanWaitsForARunningScan()
    {
        Clock::setTestWaitDivisor(1000); // five minutes become 300 ms
        FileTab &tab = makeTab(false);
        writeFile(path(QStringLiteral("system/setup.exe")), "setup\n");
        writeFile(path(QStringLiteral("user/letter.txt")), "letter\n");
        tab.scheduleAutomaticDriveScan(Clock::currentDateTime().time().addSecs(7200));
        QSignalSpy automatic(&tab, &FileTab::automaticScanStarted);
        QSignalSpy query(&tab, &FileTab::queryOrvex);

        tab.handleFilesAndDirectoriesDrop({QFileInfo(path(QStringLiteral("user")))});
        QVERIFY(invoke(&tab, "startAutomaticDriveScan")); // while walking
        QVERIFY(tab.postponedScanTimer().isActive());
        QCOMPARE(tab.postponedScanTimer().interval(), 300);
        QVERIFY(query.wait(ScanTimeout));
        // Neither worker runs while the registry answers; the scan does.
        QTRY_VERIFY(!tab.driveScanner()->isRunning());
        QTRY_VERIFY(!tab.digestWorker()->isRunning());
        tab.OrvexQueryStarted();
        QTest::qWait(1000); // about three more attempts
        QCOMPARE(automatic.count(), 0);
        QVERIFY(tab.postponedScanTimer().isActive());
        QCOMPARE(tab.driveScanner()->drives(),
                 QList<QString>({QDir::toNativeSeparators(path(QStringLiteral("user")))}));

        QSignalSpy finished(&tab, &FileTab::fileScanFinished);
        tab.OrvexQueryFinished();
        QCOMPARE(finished.count(), 1);
        QVERIFY(automatic.wait(ScanTimeout));
        QCOMPARE(automatic.count(), 1);
        QVERIFY(query.wait(ScanTimeout)); // the quick scan of the system drive found setup.exe
        QCOMPARE(tab.driveScanner()->drives(), QList<QString>({tab.systemDrive()}));
        QCOMPARE(tab.driveScanner()->scanType(), 0);
        tab.OrvexQueryFinished();

        // Switched off while waiting: the waiting scan is dropped too.
        tab.handleFilesAndDirectoriesDrop({QFileInfo(path(QStringLiteral("user")))});
        QVERIFY(invoke(&tab, "startAutomaticDriveScan"));
        QVERIFY(tab.postponedScanTimer().isActive());
        tab.scheduleAutomaticDriveScan(QTime());
        QVERIFY(!tab.postponedScanTimer().isActive());
    }

    // The shipped retry is five minutes.
    void shippedRetryIsFiveMinutes()
    {
        Clock::resetTestSeam();
        FileTab &tab = makeTab(false);
        writeFile(path(QStringLiteral("user/letter.txt")), "letter\n");
        tab.scheduleAutomaticDriveScan(QTime(3, 0));
        QSignalSpy query(&tab, &FileTab::queryOrvex);
        tab.handleFilesAndDirectoriesDrop({QFileInfo(path(QStringLiteral("user")))});
        QVERIFY(query.wait(ScanTimeout));
        QVERIFY(invoke(&tab, "startAutomaticDriveScan"));
        QCOMPARE(tab.postponedScanTimer().interval(), 300000);
        tab.OrvexQueryFinished();
    }

    void mountedVolumesForTheMenus_data()
    {
        using V = MountedVolumes::Volume;
        QTest::addColumn<QList<V>>("volumes");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("real file systems")
            << QList<V>{volume("/", QString(), "ext4"), volume("/media/usb", "STICK", "vfat")}
            << QStringList{"/", "STICK (/media/usb)"};
        QTest::newRow("pseudo file systems left out")
            << QList<V>{volume("/proc", QString(), "proc"), volume("/sys", "sysfs", "sysfs"),
                        volume("/", QString(), "btrfs"),
                        volume("/sys/fs/cgroup", QString(), "cgroup2")}
            << QStringList{"/"};
        QTest::newRow("not valid or not ready")
            << QList<V>{volume("/mnt/cd", "CD", "iso9660", true, false),
                        volume("/mnt/gone", QString(), "ext4", false, false),
                        volume("/home", "/home", "xfs")}
            << QStringList{"/home"};
        QTest::newRow("a root mounted twice")
            << QList<V>{volume("/data", "data", "ext4"), volume("/data", "data", "ext4")}
            << QStringList{"data (/data)"};
        QTest::newRow("none") << QList<V>{} << QStringList{};
    }
    void mountedVolumesForTheMenus()
    {
        QFETCH(QList<MountedVolumes::Volume>, volumes);
        QFETCH(QStringList, shown);
        FileTab &tab = makeTab(false);
        tab.setVolumeSource([volumes] { return volumes; });
        for (QMenu *menu : {tab.quickScanMenu(), tab.fullScanMenu()}) {
            // Filled afresh each time it opens.
            Q_EMIT menu->aboutToShow();
            Q_EMIT menu->aboutToShow();
            QStringList texts;
            for (QAction *entry : menu->actions()) {
                texts << entry->text();
                QVERIFY(!entry->icon().isNull());
            }
            QCOMPARE(texts, shown);
        }
        // The live list holds only what the filter keeps.
        for (const MountedVolumes::Volume &live : MountedVolumes::mounted()) {
            QVERIFY(live.valid && live.ready);
            QVERIFY(live.fileSystemType != "proc" && live.fileSystemType != "sysfs");
        }
    }

    void driveMenuEntriesStartScans()
    {
        FileTab &tab = makeTab();
        const QString usb = makeDir(path(QStringLiteral("usb")));
        writeFile(usb + QStringLiteral("/autorun.exe"), "autorun\n");
        writeFile(usb + QStringLiteral("/holiday.jpg"), "holiday\n");
        tab.setVolumeSource([usb] {
            return QList<MountedVolumes::Volume>{volume(usb, QStringLiteral("USB"), "vfat")};
        });

        const QString quickText = QStringLiteral("USB (%1)").arg(usb);
        Q_EMIT tab.quickScanMenu()->aboutToShow();
        QCOMPARE(tab.quickScanMenu()->actions().size(), 1);
        QAction *quick = tab.quickScanMenu()->actions().first();
        QCOMPARE(quick->data().toString(), usb);
        QSignalSpy finished(&tab, &FileTab::fileScanFinished);
        QTest::ignoreMessage(
            QtDebugMsg,
            qPrintable(QStringLiteral("FileTab::userStartDriveScan() got a quick scan for %1")
                           .arg(quickText)));
        quick->trigger();
        QVERIFY(finished.wait(ScanTimeout));
        QCOMPARE(rowsByPath(tab.fileModel()).keys(),
                 QList<QString>({usb + QStringLiteral("/autorun.exe")}));

        Q_EMIT tab.fullScanMenu()->aboutToShow();
        QTest::ignoreMessage(
            QtDebugMsg,
            qPrintable(QStringLiteral("FileTab::userStartDriveScan() got a full scan for %1")
                           .arg(quickText)));
        tab.fullScanMenu()->actions().first()->trigger();
        QVERIFY(finished.wait(ScanTimeout));
        QCOMPARE(tab.driveScanner()->scanType(), 1);
        QCOMPARE(tab.fileModel()->fileCount(), 3);

        // An entry whose path is no drive root is ignored.
        QSignalSpy started(&tab, &FileTab::fileScanStarted);
        auto *stray = tab.fullScanMenu()->addAction(QStringLiteral("stray"));
        stray->setData(usb + QStringLiteral("/holiday.jpg"));
        stray->trigger();
        QCoreApplication::processEvents();
        QVERIFY(!tab.isScanRunning());
        QCOMPARE(started.count(), 0);
    }

    void exportErrors_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("breakTable");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("database unreadable")
            << QStringLiteral("%1/out.csv") << true << QStringLiteral("Error Exporting Data")
            << QStringLiteral("An error occurred during data export:\n\nUnable to query the "
                              "database.");
        QTest::newRow("disk full")
            << QStringLiteral("/dev/full") << false << QStringLiteral("Error Exporting Data")
            << QStringLiteral("An error occurred during data export:\n\nUnable to write the file "
                              "'/dev/full'.");
        QTest::newRow("folder missing")
            << QStringLiteral("%1/missing/out.csv") << false
            << QStringLiteral("Could not open file.")
            << QStringLiteral("The file '%1/missing/out.csv' could not be opened for "
                              "writing.\n\nMake sure you have write permission to this file and "
                              "in this directory.");
    }
    void exportErrors()
    {
        QFETCH(QString, target);
        QFETCH(bool, breakTable);
        QFETCH(QString, title);
        QFETCH(QString, text);
        FileTab &tab = makeTab(false);
        tab.fileModel()->addFile(writeFile(path(QStringLiteral("a.txt")), "a\n"), 1);
        tab.fileModel()->select();
        const QString folder = m_dir->path();
        if (target.contains(QLatin1String("%1")))
            target = target.arg(folder);
        UserPrompt::setScriptedSaveFile(target, QStringLiteral("Comma Separated Values (*.csv)"));
        QSqlQuery sql;
        if (breakTable) {
            QSqlQuery modelQuery = tab.fileModel()->query();
            modelQuery.finish();
            QVERIFY(sql.exec(QStringLiteral("ALTER TABLE items RENAME TO items_elsewhere")));
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("^SQL ERROR for query")));
        }
        QVERIFY(action("actionExport")->isEnabled());
        action("actionExport")->trigger();
        if (breakTable)
            QVERIFY(sql.exec(QStringLiteral("ALTER TABLE items_elsewhere RENAME TO items")));
        const QList<UserPrompt::Shown> shown = UserPrompt::takeShown();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.at(0).icon, QMessageBox::Warning);
        QCOMPARE(shown.at(0).title, title);
        QCOMPARE(shown.at(0).text, text.contains(QLatin1String("%1")) ? text.arg(folder) : text);
    }

    void exportWritesOrCancels()
    {
        FileTab &tab = makeTab(false);
        tab.fileModel()->addFile(writeFile(path(QStringLiteral("a.txt")), "a\n"), 1);
        tab.fileModel()->select();
        // Cancelled: nothing written, nothing said.
        UserPrompt::setScriptedSaveFile(QString());
        action("actionExport")->trigger();
        QVERIFY(UserPrompt::takeShown().isEmpty());

        // Typed without an extension: the chosen format's is added, and the
        // user is told where the table went.
        const QString out = path(QStringLiteral("table.txt"));
        UserPrompt::setScriptedSaveFile(path(QStringLiteral("table")),
                                        QStringLiteral("Pipe Delimited Text (*.txt)"));
        action("actionExport")->trigger();
        const QList<UserPrompt::Shown> shown = UserPrompt::takeShown();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.at(0).icon, QMessageBox::Information);
        QCOMPARE(shown.at(0).title, QStringLiteral("Export"));
        QCOMPARE(shown.at(0).text, QStringLiteral("The table was exported to '%1'.").arg(out));
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QVERIFY(lines.size() >= 3);
        QVERIFY(lines.at(0).startsWith("#WinOrvex version"));
        QCOMPARE(lines.at(1), QByteArray("#Name|MD5|SHA-1|Path|Size|Detection Rate|Last Seen By "
                                         "Orvex|Check State|Status"));
        QVERIFY(lines.at(2).startsWith("a.txt|"));
    }
};

// The copy of this program that runs under another user id: a Files tab scans
// the item given as its argument against the registry of WINORVEX_REGISTRY and
// prints, at the end of the scan, its summary and the messages it showed.
static int runAsChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    TestEnvironment::init();
    Q_INIT_RESOURCE(resources);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    if (!db.open() || argc != 2)
        return 3;
    UserPrompt::setScripted(true);
    Clock::setTestWaitDivisor(50);
    {
        FileTab tab;
        tab.setVolumeSource([] { return QList<MountedVolumes::Volume>(); });
        RegistryRoad road(&tab);
        QEventLoop loop;
        QObject::connect(&tab, &FileTab::fileScanFinished, &loop, &QEventLoop::quit);
        QTimer::singleShot(ScanTimeout, &loop, [&loop] { loop.exit(4); });
        tab.handleFilesAndDirectoriesDrop({QFileInfo(FileName::fromArguments(argc, argv).at(1))});
        if (loop.exec() != 0)
            return 4;
        QTextStream out(stdout);
        out << "summary: " << plainSummary(tab) << '\n';
        for (const UserPrompt::Shown &shown : UserPrompt::takeShown())
            out << "prompt: " << shown.title << '|' << FileName::readable(shown.text) << '\n';
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(ChildVariable))
        return runAsChild(argc, argv);
    QApplication app(argc, argv);
    tst_FileTab test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_filetab.moc"
