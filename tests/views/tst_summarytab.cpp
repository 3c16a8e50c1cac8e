#include "platform/clock.h"
#include "testenvironment.h"
#include "views/summaryitemfiles.h"
#include "views/summaryitemprocesses.h"
#include "views/summarytab.h"
#include "widgets/capsulebutton.h"
#include "widgets/filedroparea.h"
#include "widgets/spinnerwidget.h"

#include <QtTest>

#include <QLabel>
#include <QPushButton>

namespace {
// "Now" at this time of day, today.
void setClock(const QTime &time)
{
    const QDateTime now = QDateTime::currentDateTime();
    Clock::setTestTimeOffset(now.secsTo(QDateTime(now.date(), time)));
}

QTime timeOf(const QString &text)
{
    return QLocale::c().toTime(text, QStringLiteral("h:mm AP"));
}

// "mode|status|LED|additional information", as the item shows them.
QString shown(SummaryItem *item)
{
    return QStringLiteral("%1|%2|%3|%4")
        .arg(item->mode())
        .arg(item->status(), item->isLedGreen() ? QStringLiteral("green") : QStringLiteral("red"),
             item->additionalInfo());
}

QLabel *label(QWidget *item, const char *name)
{
    return item->findChild<QLabel *>(QLatin1String(name));
}

// Clicks the link that a rich-text label shows, as a user would.
void clickLink(QLabel *link)
{
    QVERIFY(link->isVisible());
    const QPoint onText(link->contentsRect().left() + 4, link->height() / 2);
    QTest::mouseClick(link, Qt::LeftButton, Qt::NoModifier, onText);
}
} // namespace

class TestSummaryTab : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
    }
    void cleanup() { Clock::resetTestSeam(); }

    // Everything the two panels say, after what the window tells the tab. Steps:
    // "monitoring on|off", "process started|finished", "process <pid> <path>",
    // "module <pid> <path>", "scan started|aborted", "scan finished 0|1",
    // "file <path>", "removed <path>", "drive <h:mm AP> at <h:mm AP>", "drive off".
    void summaryTexts_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("processes"); // empty: not looked at
        QTest::addColumn<QString>("files");

        const QString on = QStringLiteral("|green|Processes are being actively monitored.");
        const QString noDrive = QStringLiteral("|red|Automatic drive scanning is disabled.");

        QTest::newRow("monitored") << QStringList{"monitoring on"} << "0|" + on
                                   << "0|No files have been scanned." + noDrive;
        QTest::newRow("not monitored") << QStringList{"monitoring off"}
                                       << "0||red|Processes are not being monitored." << QString();
        QTest::newRow("checking processes") << QStringList{"monitoring on", "process started"}
                                            << "1|Checking running processes..." + on << QString();
        QTest::newRow("no malware process")
            << QStringList{"monitoring on", "process started", "process finished"}
            << "2|No running processes were identified as malware." + on << QString();
        QTest::newRow("one malware process")
            << QStringList{"monitoring on", "process 10 /opt/bad"}
            << "3|WinOrvex has identified 1 malware process." + on << QString();
        QTest::newRow("two instances of one program")
            << QStringList{"monitoring on", "process 10 /opt/bad", "process 11 /opt/bad"}
            << "3|WinOrvex has identified 2 instances of 1 malware process." + on << QString();
        QTest::newRow("three processes of two programs")
            << QStringList{"monitoring on", "process 10 /opt/bad", "process 11 /opt/bad",
                           "process 12 /opt/worse"}
            << "3|WinOrvex has identified 3 instances of 2 malware processes." + on << QString();
        QTest::newRow("a process and its module count once")
            << QStringList{"monitoring on", "process 10 /opt/bad", "module 10 /lib/evil.so"}
            << "3|WinOrvex has identified 1 malware process." + on << QString();
        QTest::newRow("modules of two processes")
            << QStringList{"monitoring on", "module 10 /lib/evil.so", "module 11 /lib/evil.so"}
            << "3|WinOrvex has identified 2 instances of 1 malware process." + on << QString();
        QTest::newRow("still counted after a clean pass")
            << QStringList{"monitoring on", "process 10 /opt/bad", "process started",
                           "process finished"}
            << "3|WinOrvex has identified 1 malware process." + on << QString();

        QTest::newRow("scanning files")
            << QStringList{"scan started"} << QString() << "1|Scanning files..." + noDrive;
        QTest::newRow("files scanned, none malware")
            << QStringList{"scan started", "scan finished 1"} << QString()
            << "2|No scanned files were identified as malware." + noDrive;
        QTest::newRow("scan finished without files")
            << QStringList{"scan started", "scan finished 0"} << QString()
            << "0|No files have been scanned." + noDrive;
        QTest::newRow("scan cancelled") << QStringList{"scan started", "scan aborted"} << QString()
                                        << "0|Scan cancelled." + noDrive;
        QTest::newRow("one malware file")
            << QStringList{"scan started", "file /tmp/a.exe", "scan finished 1"} << QString()
            << "3|WinOrvex has identified 1 malware file." + noDrive;
        QTest::newRow("the same file twice counts twice")
            << QStringList{"file /tmp/a.exe", "file /tmp/a.exe"} << QString()
            << "3|WinOrvex has identified 2 malware files." + noDrive;
        QTest::newRow("removed once of twice")
            << QStringList{"file /tmp/a.exe", "file /tmp/a.exe", "removed /tmp/a.exe"} << QString()
            << "3|WinOrvex has identified 1 malware file." + noDrive;
        QTest::newRow("removing an unknown file")
            << QStringList{"removed /tmp/nowhere"} << QString()
            << "2|No scanned files were identified as malware." + noDrive;

        QTest::newRow("drive scan later today")
            << QStringList{"drive 2:00 AM at 1:00 AM"} << QString()
            << "0|No files have been scanned.|green|An automatic drive scan will take place at "
               "2:00 AM.";
        QTest::newRow("drive scan tomorrow")
            << QStringList{"drive 2:00 AM at 1:00 PM"} << QString()
            << "0|No files have been scanned.|green|An automatic drive scan will take place "
               "tomorrow at 2:00 AM.";
        QTest::newRow("drive scan in the evening")
            << QStringList{"drive 6:30 PM at 9:15 AM"} << QString()
            << "0|No files have been scanned.|green|An automatic drive scan will take place at "
               "6:30 PM.";
        QTest::newRow("drive scan switched off")
            << QStringList{"drive 2:00 AM at 1:00 AM", "drive off"} << QString()
            << "0|No files have been scanned." + noDrive;
    }
    void summaryTexts()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, processes);
        QFETCH(QString, files);
        SummaryTab tab;
        for (const QString &step : steps) {
            const QStringList word = step.split(QLatin1Char(' '));
            if (step == QLatin1String("monitoring on"))
                tab.processScanEnabled(true);
            else if (step == QLatin1String("monitoring off"))
                tab.processScanEnabled(false);
            else if (step == QLatin1String("process started"))
                tab.processScanStarted();
            else if (step == QLatin1String("process finished"))
                tab.processScanFinished();
            else if (word.first() == QLatin1String("process"))
                tab.malwareProcessFound(word.at(2), word.at(1).toUInt());
            else if (word.first() == QLatin1String("module"))
                tab.malwareModuleFound(word.at(2), word.at(1).toUInt());
            else if (step == QLatin1String("scan started"))
                tab.fileScanStarted();
            else if (step == QLatin1String("scan aborted"))
                tab.handleFileScanAborted();
            else if (word.mid(0, 2) == QStringList{"scan", "finished"})
                tab.fileScanFinished(word.at(2) == QLatin1String("1"));
            else if (word.first() == QLatin1String("file"))
                tab.malwareFileFound(word.at(1));
            else if (word.first() == QLatin1String("removed"))
                tab.malwareFileRemoved(word.at(1));
            else if (step == QLatin1String("drive off"))
                tab.driveScanTimeChanged(QTime());
            else if (word.first() == QLatin1String("drive")) {
                setClock(timeOf(word.mid(4).join(QLatin1Char(' '))));
                tab.driveScanTimeChanged(timeOf(word.mid(1, 2).join(QLatin1Char(' '))));
            } else
                QFAIL(qPrintable(step));
        }
        if (!processes.isEmpty())
            QCOMPARE(shown(tab.processesItem()), processes);
        if (!files.isEmpty())
            QCOMPARE(shown(tab.filesItem()), files);
    }

    void placeholdersAreReplaced()
    {
        SummaryTab tab;
        tab.processScanEnabled(true);
        for (QLabel *text : tab.findChildren<QLabel *>()) {
            for (const char *placeholder : {"Lorem", "big icon", "spinner", "LED"})
                QVERIFY2(!text->text().contains(QLatin1String(placeholder)),
                         qPrintable(text->objectName()));
        }
        QCOMPARE(label(tab.processesItem(), "label_title")->text(), QStringLiteral("Processes"));
        QCOMPARE(label(tab.filesItem(), "label_title")->text(),
                 QStringLiteral("Files On Computer"));
        QVERIFY(!label(tab.filesItem(), "label_icon")->pixmap().isNull());
        // Before any count there is nothing to detail.
        QVERIFY(label(tab.processesItem(), "label_details")->isHidden());
        QVERIFY(label(tab.filesItem(), "label_details")->isHidden());
        // The processes panel offers no switch; the files panel edits the daily scan.
        QVERIFY(label(tab.processesItem(), "label_toggle")->isHidden());
        QVERIFY(!label(tab.filesItem(), "label_toggle")->isHidden());
    }

    void spinnerTurnsWhileBusy()
    {
        SummaryTab tab;
        auto *spinner = tab.filesItem()->findChild<SpinnerWidget *>("label_spinner");
        QVERIFY(!spinner->isAnimated());
        tab.fileScanStarted();
        QVERIFY(spinner->isAnimated());
        tab.fileScanFinished(true);
        QVERIFY(!spinner->isAnimated());
    }

    void linksReachTheWindow()
    {
        SummaryTab tab;
        tab.resize(600, 400);
        tab.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tab));
        QSignalSpy links(&tab, &SummaryTab::summaryLinkClicked);
        tab.processScanFinished();
        tab.fileScanFinished(true);

        clickLink(label(tab.processesItem(), "label_details"));
        clickLink(label(tab.filesItem(), "label_details"));
        clickLink(label(tab.filesItem(), "label_toggle"));
        QCOMPARE(links.count(), 3);
        QCOMPARE(links.at(0).at(0).toString(), QStringLiteral("#details_processes"));
        QCOMPARE(links.at(1).at(0).toString(), QStringLiteral("#details_files"));
        QCOMPARE(links.at(2).at(0).toString(), QStringLiteral("#change_drive_scan"));
    }

    // The capsule and the drop area follow the scan: start offered while idle,
    // stop while it runs, drops refused meanwhile.
    void capsuleAndDropAreaFollowTheScan()
    {
        SummaryTab tab;
        tab.resize(600, 400);
        tab.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tab));
        CapsuleButton *capsule = tab.filesItem()->capsuleButton();
        QCOMPARE(capsule->startButton()->text(), QStringLiteral("Scan Computer"));
        QCOMPARE(capsule->stopButton()->text(), QStringLiteral("Stop Scan"));
        QSignalSpy start(&tab, &SummaryTab::requestScanComputer);
        QSignalSpy stop(&tab, &SummaryTab::requestStopScan);

        QVERIFY(capsule->startButton()->isVisible());
        QTest::mouseClick(capsule->startButton(), Qt::LeftButton);
        QCOMPARE(start.count(), 1);

        tab.fileScanStarted();
        QVERIFY(capsule->stopButton()->isVisible());
        QVERIFY(!tab.dropArea()->isEnabled());
        QTest::mouseClick(capsule->stopButton(), Qt::LeftButton);
        QCOMPARE(stop.count(), 1);

        tab.handleFileScanAborted();
        QVERIFY(capsule->startButton()->isVisible());
        QVERIFY(tab.dropArea()->isEnabled());

        tab.fileScanStarted();
        tab.fileScanFinished(true);
        QVERIFY(capsule->startButton()->isVisible());
        QVERIFY(tab.dropArea()->isEnabled());
    }

    // The drive-scan line keeps telling the truth as the day goes on: "tomorrow"
    // once today's time has passed, "at" again after midnight.
    void driveScanLineFollowsTheClock()
    {
        SummaryTab tab;
        const QString tomorrow =
            QStringLiteral("An automatic drive scan will take place tomorrow at ");
        setClock(QTime(12, 0));
        const QTime soon = Clock::currentDateTime().time().addSecs(2);
        tab.driveScanTimeChanged(soon);
        QVERIFY(tab.filesItem()->additionalInfo().startsWith(
            QStringLiteral("An automatic drive scan will take place at ")));
        QTRY_VERIFY_WITH_TIMEOUT(tab.filesItem()->additionalInfo().startsWith(tomorrow), 10000);

        const QDateTime now = QDateTime::currentDateTime();
        Clock::setTestTimeOffset(now.secsTo(QDateTime(now.date(), QTime(23, 59, 58))));
        tab.driveScanTimeChanged(QTime(6, 0));
        QCOMPARE(tab.filesItem()->additionalInfo(), tomorrow + QStringLiteral("6:00 AM."));
        QTRY_COMPARE_WITH_TIMEOUT(
            tab.filesItem()->additionalInfo(),
            QStringLiteral("An automatic drive scan will take place at 6:00 AM."), 10000);
    }
};

QTEST_MAIN(TestSummaryTab)
#include "tst_summarytab.moc"
