#include "app/applicationentry.h"
#include "app/drivescannerpane.h"
#include "app/generalpane.h"
#include "app/mainwindow.h"
#include "app/preferences.h"
#include "fakeplatforminfo.h"
#include "files/filetab.h"
#include "platform/autostartentry.h"
#include "platform/clock.h"
#include "platform/preferenceslocation.h"
#include "processes/processmonitor.h"
#include "registry/uniqueid.h"
#include "services/softwareupdater.h"
#include "testenvironment.h"
#include "updatetestserver.h"
#include "views/summaryitemfiles.h"
#include "views/summarytab.h"

#include <QtTest>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDomDocument>
#include <QPushButton>
#include <QTimeEdit>

#include <csignal>
#include <sys/resource.h>

#include <functional>
#include <tuple>

namespace {
QString preferencesPath()
{
    return PreferencesLocation::filePath();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

QDomDocument parse(const QByteArray &text)
{
    QDomDocument document;
    if (!document.setContent(text))
        qFatal("not XML: %s", text.constData());
    return document;
}

// The names of the element's children, in order.
QStringList childNames(const QDomElement &element)
{
    QStringList names;
    for (QDomElement child = element.firstChildElement(); !child.isNull();
         child = child.nextSiblingElement())
        names << child.tagName();
    return names;
}

QString program()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
}

// A Preferences.xml as WinOrvex writes it, with the given elements under the root.
QByteArray preferencesFile(const QByteArray &elements)
{
    return "<!DOCTYPE WinOrvex>\n<WinOrvex>\n" + elements + "</WinOrvex>\n";
}

// Opens the dialog as the Edit menu does; `change` sets its controls while it is
// up, then the button is pressed.
void runDialog(MainWindow &window, const std::function<void(Preferences *)> &change,
               QDialogButtonBox::StandardButton button)
{
    bool ran = false;
    QTimer::singleShot(0, &window, [&] {
        Preferences *dialog = window.preferencesDialog();
        if (dialog->isVisible()) {
            change(dialog);
            dialog->findChild<QDialogButtonBox *>("buttonBox")->button(button)->click();
            ran = true;
        }
    });
    window.findChild<QAction *>("actionPreferences")->trigger();
    QVERIFY2(ran, "the dialog was not shown");
}

// Writes fail past this many bytes for as long as the limit lives, the way a
// full disk or a crash in the middle of a write would leave a file.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            qFatal("setrlimit failed");
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_old{};
    void (*m_handler)(int) = nullptr;
};
} // namespace

class TestPreferences : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
        ProcessMonitor::setTestMonitoringEnabled(false);
        QVERIFY(!preferencesPath().isEmpty());
    }

    void init()
    {
        // Window tests reach no update server unless they bring their own.
        SoftwareUpdater::setTestAutomaticChecksAllowed(false);
        SoftwareUpdater::setAutomaticUpdateCheckEnabled(false);
        QDir(QFileInfo(preferencesPath()).path()).removeRecursively();
        QFile::remove(AutostartEntry::path(GeneralPane::autorunName()));
    }

    void cleanup()
    {
        Clock::resetTestSeam();
        qunsetenv("WINORVEX_UPDATE_SERVER");
    }

    // No file: the defaults, an update check at once; the first close writes
    // the window's own element and nothing of the panes.
    void firstRun()
    {
        UpdateTestServer server;
        QVERIFY(server.listen());
        qputenv("WINORVEX_UPDATE_SERVER", server.address());
        SoftwareUpdater::setTestAutomaticChecksAllowed(true);
        const QString path = preferencesPath();
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("MainWindow::loadPreferences() the "
                                                       "preferences file '%1' does not exist!")
                                            .arg(path)));
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("MainWindow::loadPreferences() the "
                                                       "preferences file '%1' is not readable!")
                                            .arg(path)));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^MainWindow::handleUserPreference\\( "
                                                            "0 \\) called with data: "
                                                            "QVariant\\(bool, true\\)$"));
        QSignalSpy checked(window.softwareUpdater(), &SoftwareUpdater::checkFinished);
        window.loadStartupPreferences();
        QVERIFY(SoftwareUpdater::isAutomaticUpdateCheckEnabled());
        QVERIFY(checked.wait(10000));
        QCOMPARE(server.requests().size(), 1);
        // No daily scan until the user sets one.
        QVERIFY(window.fileTab()->automaticScanTime().isNull());

        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.close();
        const QDomDocument written = parse(readFile(path));
        QCOMPARE(written.doctype().name(), QStringLiteral("WinOrvex"));
        QCOMPARE(written.documentElement().tagName(), QStringLiteral("WinOrvex"));
        QCOMPARE(childNames(written.documentElement()), QStringList{"MainWindow"});
        const QDomElement main = written.documentElement().firstChildElement();
        QCOMPARE(childNames(main), (QStringList{"State", "Geometry", "UUID", "LastUpdateCheck"}));
        for (const char *name : {"State", "Geometry"}) {
            const QDomElement element = main.firstChildElement(name);
            QCOMPARE(element.attribute("encoding"), QStringLiteral("Base64"));
            QVERIFY(element.firstChild().isCDATASection());
        }
        QCOMPARE(QUuid::fromString(main.firstChildElement("UUID").text()),
                 UniqueId::installationUuid());
        QVERIFY(!UniqueId::installationUuid().isNull());
        QVERIFY(QDateTime::fromString(main.firstChildElement("LastUpdateCheck").attribute("Date"),
                                      Qt::TextDate)
                    .isValid());
    }

    // The file holds the installation identifier: nobody but its owner reads it,
    // also when an older file was readable by all.
    void fileIsPrivate()
    {
        writeFile(preferencesPath(), preferencesFile(""));
        QVERIFY(QFile::setPermissions(preferencesPath(),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ReadGroup | QFileDevice::ReadOther));
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QVERIFY(window.loadPreferences());
        window.savePreferences();
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                QFileDevice::WriteOther | QFileDevice::ExeOther;
        QCOMPARE(QFileInfo(preferencesPath()).permissions() & others, QFileDevice::Permissions());
    }

    // Everything a close writes comes back at the next start.
    void writtenAndReadBackWhole()
    {
        FakePlatformInfo info(0x0601, true);
        QByteArray first;
        QUuid installation;
        const QDateTime lastCheck = QDateTime::currentDateTime().addDays(-2).addMSecs(-123);
        {
            MainWindow window;
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("does not exist!$"));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is not readable!$"));
            window.loadStartupPreferences();
            window.softwareUpdater()->setLastUpdateCheck(lastCheck);
            window.resize(640, 480);
            runDialog(
                window,
                [](Preferences *dialog) {
                    dialog->findChild<QCheckBox *>("checkBox_update")->click();
                    dialog->findChild<QCheckBox *>("checkBox")->click();
                    dialog->findChild<QTimeEdit *>("timeEdit")->setTime(QTime(19, 30));
                },
                QDialogButtonBox::Ok);
            window.close();
            installation = UniqueId::installationUuid();
            first = readFile(preferencesPath());
        }
        const QDomElement root = parse(first).documentElement();
        // The panes wrote first, when the dialog was accepted.
        QCOMPARE(childNames(root), (QStringList{"General", "DriveScanner", "MainWindow"}));
        QCOMPARE(root.firstChildElement("General")
                     .firstChildElement("AutomaticUpdate")
                     .attribute("Check"),
                 QStringLiteral("0"));
        const QDomElement autoscan =
            root.firstChildElement("DriveScanner").firstChildElement("Autoscan");
        QCOMPARE(autoscan.attribute("Enable"), QStringLiteral("2"));
        QCOMPARE(autoscan.attribute("Time"), QStringLiteral("7:30 PM"));

        UniqueId::setInstallationUuid(QUuid());
        SoftwareUpdater::setAutomaticUpdateCheckEnabled(true);
        MainWindow again;
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QStringLiteral("MainWindow::loadPreferences() loaded file "
                                                       "[%1]")
                                            .arg(preferencesPath())));
        QVERIFY(again.loadPreferences());
        QCOMPARE(UniqueId::installationUuid(), installation);
        QCOMPARE(again.size(), QSize(640, 480));
        QCOMPARE(again.softwareUpdater()->lastUpdateCheck().toString(Qt::TextDate),
                 lastCheck.toString(Qt::TextDate));
        QVERIFY(!SoftwareUpdater::isAutomaticUpdateCheckEnabled());
        QCOMPARE(again.fileTab()->automaticScanTime(), QTime(19, 30));
        QVERIFY(again.fileTab()->automaticScanTimer().isActive());
        QVERIFY(again.summaryTab()->filesItem()->additionalInfo().endsWith(
            QStringLiteral("at 7:30 PM.")));
        // Written again unchanged, but for where the window happens to be.
        again.close();
        const QDomElement secondRoot = parse(readFile(preferencesPath())).documentElement();
        QCOMPARE(childNames(secondRoot), childNames(root));
        const auto value = [](const QDomElement &top, const char *owner, const char *name,
                              const char *attribute) {
            const QDomElement element = top.firstChildElement(owner).firstChildElement(name);
            return attribute ? element.attribute(attribute) : element.text();
        };
        for (const auto &[owner, name, attribute] :
             {std::tuple{"General", "Autorun", "State"},
              std::tuple{"General", "AutomaticUpdate", "Check"},
              std::tuple{"DriveScanner", "Autoscan", "Enable"},
              std::tuple{"DriveScanner", "Autoscan", "Time"},
              std::tuple{"MainWindow", "UUID", static_cast<const char *>(nullptr)},
              std::tuple{"MainWindow", "LastUpdateCheck", "Date"}})
            QCOMPARE(value(secondRoot, owner, name, attribute),
                     value(root, owner, name, attribute));
    }

    void malformedFileIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("column");
        QTest::newRow("not XML") << QByteArray("settings = yes\n") << 1 << 1;
        QTest::newRow("cut short")
            << preferencesFile("<MainWindow>\n<UUID>{x}</UUID>\n").left(60) << 4 << 16;
        QTest::newRow("wrong closing tag")
            << QByteArray("<!DOCTYPE WinOrvex>\n<WinOrvex>\n<General>\n</Generale>\n</WinOrvex>\n")
            << 4 << 11;
    }
    void malformedFileIsKeptAside()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, line);
        QFETCH(int, column);
        const QString path = preferencesPath();
        writeFile(path, content);
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral("^MainWindow::loadPreferences\\(\\) could not load "
                                              "the file into the QDomDocument!  Error on line "
                                              "%1, column %2: .+")
                                   .arg(line)
                                   .arg(column)));
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("MainWindow::loadPreferences() kept the "
                                                       "malformed file as '%1.bad'; using the "
                                                       "defaults")
                                            .arg(path)));
        window.loadStartupPreferences();
        // The defaults: weekly checks on, no daily scan.
        QVERIFY(SoftwareUpdater::isAutomaticUpdateCheckEnabled());
        QVERIFY(window.fileTab()->automaticScanTime().isNull());
        QCOMPARE(readFile(path + QStringLiteral(".bad")), content);

        window.close();
        QCOMPARE(childNames(parse(readFile(path)).documentElement()), QStringList{"MainWindow"});
        QCOMPARE(readFile(path + QStringLiteral(".bad")), content);
    }

    void missingGeometryOpensAt800By600()
    {
        FakePlatformInfo info(0x0601, true);
        {
            MainWindow window;
            window.resize(500, 400);
            window.savePreferences();
        }
        QDomDocument document = parse(readFile(preferencesPath()));
        QDomElement main = document.documentElement().firstChildElement("MainWindow");
        main.removeChild(main.firstChildElement("Geometry"));
        writeFile(preferencesPath(), document.toByteArray(4));

        MainWindow window;
        QVERIFY(window.loadPreferences());
        // 800 by 600, or as much of it as the screen has room for.
        const QSize available = window.screen()->availableGeometry().size();
        QVERIFY2(window.width() > 500 && window.width() <= 800 && window.height() <= 600,
                 qPrintable(QStringLiteral("%1x%2").arg(window.width()).arg(window.height())));
        QVERIFY(window.width() == 800 || window.width() < available.width());
    }

    void installationIdentifier_data()
    {
        QTest::addColumn<QByteArray>("uuid");
        QTest::addColumn<bool>("kept");
        QTest::newRow("kept") << QByteArray("{6f1c1d1e-2a3b-4c5d-8e9f-0a1b2c3d4e5f}") << true;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("malformed") << QByteArray("not-a-uuid") << false;
    }
    void installationIdentifier()
    {
        QFETCH(QByteArray, uuid);
        QFETCH(bool, kept);
        writeFile(preferencesPath(),
                  preferencesFile("<MainWindow><UUID>" + uuid + "</UUID></MainWindow>\n"));
        UniqueId::setInstallationUuid(
            QUuid::fromString(QLatin1String("{11111111-2222-4333-8444-555555555555}")));
        const QUuid before = UniqueId::installationUuid();
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QVERIFY(window.loadPreferences());
        const QUuid loaded = UniqueId::installationUuid();
        QVERIFY(!loaded.isNull());
        QVERIFY(loaded != before);
        if (kept)
            QCOMPARE(loaded, QUuid::fromString(QString::fromLatin1(uuid)));
        window.savePreferences();
        const QDomElement main =
            parse(readFile(preferencesPath())).documentElement().firstChildElement("MainWindow");
        QCOMPARE(QUuid::fromString(main.firstChildElement("UUID").text()), loaded);
    }

    void driveScanAtStartup_data()
    {
        QTest::addColumn<QByteArray>("elements");
        QTest::addColumn<QTime>("time");
        QTest::newRow("on at 6:00 AM")
            << QByteArray("<DriveScanner><Autoscan Enable=\"2\" Time=\"6:00 AM\"/></DriveScanner>")
            << QTime(6, 0);
        QTest::newRow("on at 11:45 PM")
            << QByteArray("<DriveScanner><Autoscan Enable=\"2\" Time=\"11:45 PM\"/></DriveScanner>")
            << QTime(23, 45);
        QTest::newRow("off") << QByteArray("<DriveScanner><Autoscan Enable=\"0\" Time=\"6:00 "
                                           "AM\"/></DriveScanner>")
                             << QTime();
        QTest::newRow("never set") << QByteArray() << QTime();
    }
    void driveScanAtStartup()
    {
        QFETCH(QByteArray, elements);
        QFETCH(QTime, time);
        writeFile(preferencesPath(), preferencesFile(elements));
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        // A scan already scheduled shows that "off" also reaches the Files tab.
        window.fileTab()->scheduleAutomaticDriveScan(QTime(3, 0));
        QVERIFY(window.loadPreferences());
        QCOMPARE(window.fileTab()->automaticScanTime(), time);
        QCOMPARE(window.fileTab()->automaticScanTimer().isActive(), time.isValid());
        QCOMPARE(window.summaryTab()->filesItem()->driveScanTime(), time);
    }

    // Weekly checks are on until the user switches them off, also after a first
    // run, whose file has no General element.
    void weeklyChecks_data()
    {
        QTest::addColumn<QByteArray>("elements");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("first run's file") << QByteArray("<MainWindow/>") << true;
        QTest::newRow("switched on")
            << QByteArray("<General><AutomaticUpdate Check=\"2\"/></General>") << true;
        QTest::newRow("switched off")
            << QByteArray("<General><AutomaticUpdate Check=\"0\"/></General>") << false;
    }
    void weeklyChecks()
    {
        QFETCH(QByteArray, elements);
        QFETCH(bool, enabled);
        writeFile(preferencesPath(), preferencesFile(elements));
        SoftwareUpdater::setAutomaticUpdateCheckEnabled(!enabled);
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.loadStartupPreferences();
        QCOMPARE(SoftwareUpdater::isAutomaticUpdateCheckEnabled(), enabled);
    }

    void cancelChangesNothing()
    {
        const QByteArray content = preferencesFile(
            "<General><Autorun State=\"0\"/><AutomaticUpdate Check=\"2\"/></General>"
            "<DriveScanner><Autoscan Enable=\"2\" Time=\"6:00 AM\"/></DriveScanner>");
        writeFile(preferencesPath(), content);
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QVERIFY(window.loadPreferences());
        const QString before = window.preferencesDocument().toString(4);
        QVERIFY(SoftwareUpdater::isAutomaticUpdateCheckEnabled());
        QSignalSpy preferences(window.preferencesDialog(), &Preferences::setUserPreference);
        QSignalSpy times(window.preferencesDialog(), &Preferences::driveScanTimeChanged);

        runDialog(
            window,
            [](Preferences *dialog) {
                for (const char *box : {"checkBox_autorun", "checkBox_update", "checkBox"})
                    dialog->findChild<QCheckBox *>(box)->click();
                dialog->findChild<QTimeEdit *>("timeEdit")->setTime(QTime(21, 0));
            },
            QDialogButtonBox::Cancel);

        QCOMPARE(window.preferencesDocument().toString(4), before);
        QCOMPARE(preferences.count(), 0);
        QCOMPARE(times.count(), 0);
        QVERIFY(SoftwareUpdater::isAutomaticUpdateCheckEnabled());
        QCOMPARE(window.fileTab()->automaticScanTime(), QTime(6, 0));
        QVERIFY(!QFile::exists(AutostartEntry::path(GeneralPane::autorunName())));
        QCOMPARE(readFile(preferencesPath()), content);
    }

    // The dialog shows the live state: the autostart entry, the weekly checks.
    void dialogShowsTheLiveState()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QVERIFY(AutostartEntry::setAutorun(GeneralPane::autorunName(), program()));
        SoftwareUpdater::setAutomaticUpdateCheckEnabled(true);
        bool autorun = false;
        bool update = false;
        runDialog(
            window,
            [&](Preferences *dialog) {
                autorun = dialog->findChild<QCheckBox *>("checkBox_autorun")->isChecked();
                update = dialog->findChild<QCheckBox *>("checkBox_update")->isChecked();
            },
            QDialogButtonBox::Cancel);
        QVERIFY(autorun);
        QVERIFY(update);
    }

    void acceptedDialogTakesEffect_data()
    {
        QTest::addColumn<QStringList>("clicks");
        QTest::addColumn<bool>("autorun");
        QTest::addColumn<bool>("weekly");
        QTest::newRow("only the update box") << QStringList{"checkBox_update"} << false << false;
        QTest::newRow("only run at log-in") << QStringList{"checkBox_autorun"} << true << true;
        QTest::newRow("both") << QStringList{"checkBox_autorun", "checkBox_update"} << true
                              << false;
    }
    void acceptedDialogTakesEffect()
    {
        QFETCH(QStringList, clicks);
        QFETCH(bool, autorun);
        QFETCH(bool, weekly);
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        SoftwareUpdater::setAutomaticUpdateCheckEnabled(true);
        runDialog(
            window,
            [&](Preferences *dialog) {
                for (const QString &box : clicks)
                    dialog->findChild<QCheckBox *>(box)->click();
            },
            QDialogButtonBox::Ok);
        QCOMPARE(AutostartEntry::isAutorunRegistered(GeneralPane::autorunName(), program()),
                 autorun);
        QCOMPARE(SoftwareUpdater::isAutomaticUpdateCheckEnabled(), weekly);
        const QDomElement general =
            window.preferencesDocument().documentElement().firstChildElement("General");
        QCOMPARE(general.firstChildElement("Autorun").attribute("State"),
                 autorun ? QStringLiteral("2") : QStringLiteral("0"));
        QCOMPARE(general.firstChildElement("AutomaticUpdate").attribute("Check"),
                 weekly ? QStringLiteral("2") : QStringLiteral("0"));

        // Unchecked again, the entry goes.
        if (!autorun)
            return;
        runDialog(
            window,
            [](Preferences *dialog) {
                dialog->findChild<QCheckBox *>("checkBox_autorun")->click();
            },
            QDialogButtonBox::Ok);
        QVERIFY(!QFile::exists(AutostartEntry::path(GeneralPane::autorunName())));
    }

    void acceptedDriveScanReachesTheTabs()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        runDialog(
            window,
            [](Preferences *dialog) {
                dialog->findChild<QCheckBox *>("checkBox")->click();
                dialog->findChild<QTimeEdit *>("timeEdit")->setTime(QTime(14, 15));
            },
            QDialogButtonBox::Ok);
        QCOMPARE(window.fileTab()->automaticScanTime(), QTime(14, 15));
        QVERIFY(window.fileTab()->automaticScanTimer().isActive());
        QCOMPARE(window.summaryTab()->filesItem()->driveScanTime(), QTime(14, 15));
        QVERIFY(window.summaryTab()->filesItem()->isLedGreen());

        runDialog(
            window,
            [](Preferences *dialog) { dialog->findChild<QCheckBox *>("checkBox")->click(); },
            QDialogButtonBox::Ok);
        QVERIFY(window.fileTab()->automaticScanTime().isNull());
        QVERIFY(!window.fileTab()->automaticScanTimer().isActive());
        QCOMPARE(window.summaryTab()->filesItem()->additionalInfo(),
                 QStringLiteral("Automatic drive scanning is disabled."));
    }

    // Accepted choices are on disk before the window closes; a cancelled dialog
    // writes nothing.
    void acceptedDialogIsWrittenAtOnce()
    {
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        runDialog(
            window, [](Preferences *) {}, QDialogButtonBox::Cancel);
        QVERIFY(!QFile::exists(preferencesPath()));
        runDialog(
            window,
            [](Preferences *dialog) {
                dialog->findChild<QCheckBox *>("checkBox")->click();
                dialog->findChild<QTimeEdit *>("timeEdit")->setTime(QTime(14, 15));
            },
            QDialogButtonBox::Ok);
        QDomDocument written;
        QVERIFY(written.setContent(readFile(preferencesPath())));
        const QDomElement autoscan = written.documentElement()
                                         .firstChildElement("DriveScanner")
                                         .firstChildElement("Autoscan");
        QCOMPARE(autoscan.attribute("Enable"), QStringLiteral("2"));
        QCOMPARE(autoscan.attribute("Time"), QStringLiteral("2:15 PM"));
    }

    // A session that ends, or a user who kills the window, closes it as Quit
    // does: the geometry and the time of the last update check are kept.
    void stopSignalClosesTheWindow_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }

    void stopSignalClosesTheWindow()
    {
        QFETCH(int, signalNumber);
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(ApplicationEntry::closeOnStopSignals(&window));
        QVERIFY(!QFile::exists(preferencesPath()));
        QCOMPARE(::raise(signalNumber), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 10000);
        QDomDocument written;
        QVERIFY(written.setContent(readFile(preferencesPath())));
        QVERIFY(!written.documentElement()
                     .firstChildElement("MainWindow")
                     .firstChildElement("Geometry")
                     .isNull());
    }

    // A write that stops half-way (a full disk, a crash) leaves the old file whole.
    void interruptedWriteKeepsTheOldFile()
    {
        const QByteArray old = preferencesFile(
            "<General><Autorun State=\"0\"/><AutomaticUpdate Check=\"0\"/></General>\n");
        writeFile(preferencesPath(), old);
        FakePlatformInfo info(0x0601, true);
        MainWindow window;
        QVERIFY(window.loadPreferences());
        {
            // The new file, with the window's state, is larger than this.
            FileSizeLimit limit(old.size() + 16);
            QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(QStringLiteral("^MainWindow::savePreferences\\(\\) could not "
                                                  "write '%1', the old file is kept: ")
                                       .arg(QRegularExpression::escape(preferencesPath()))));
            window.savePreferences();
        }
        QCOMPARE(readFile(preferencesPath()), old);
        QCOMPARE(QDir(QFileInfo(preferencesPath()).path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"Preferences.xml"});
        // Room again: the next close writes it.
        window.savePreferences();
        QVERIFY(readFile(preferencesPath()).contains("<MainWindow>"));
    }

    void paneTexts()
    {
        Preferences dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Preferences"));
        QCOMPARE(dialog.findChild<QCheckBox *>("checkBox_autorun")->text().remove('&'),
                 QStringLiteral("Run WinOrvex when you log in."));
        QCOMPARE(dialog.findChild<QCheckBox *>("checkBox_update")->text().remove('&'),
                 QStringLiteral("Check for software updates every week."));
        QCOMPARE(dialog.findChild<QCheckBox *>("checkBox")->text().remove('&'),
                 QStringLiteral("Run a Computer Scan every day at"));
        auto *time = dialog.findChild<QTimeEdit *>("timeEdit");
        QCOMPARE(time->displayFormat(), QStringLiteral("h:mm AP"));
        QCOMPARE(time->time(), QTime(6, 0));
        QVERIFY(!time->calendarPopup());
    }

    void timeTextIsTheSameInEveryLanguage()
    {
        const QLocale previous;
        QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
        const auto restore = qScopeGuard([previous] { QLocale::setDefault(previous); });
        QCOMPARE(DriveScannerPane::timeText(QTime(18, 5)), QStringLiteral("6:05 PM"));
        QCOMPARE(DriveScannerPane::timeFromText(QStringLiteral("6:05 PM")), QTime(18, 5));
    }
};

QTEST_MAIN(TestPreferences)
#include "tst_preferences.moc"
