#include "files/drivescanner.h"
#include "platform/filename.h"
#include "testenvironment.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QList<QString> QuickExtensions = {
    QStringLiteral("exe"), QStringLiteral("dll"), QStringLiteral("sys"), QStringLiteral("drv"),
    QStringLiteral(".ax"), QStringLiteral("ime"), QStringLiteral("zip"), QStringLiteral("cab"),
    QStringLiteral("com"), QStringLiteral("scr"), QStringLiteral("pif"), QStringLiteral("pdf")};

bool makeFile(const QString &path, qint64 size = 1, int mode = 0644)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}
} // namespace

class TestDriveScanner : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_tree;
    QByteArray m_badName;

    // Collects what a scan reports until it ends one way or the other.
    struct ScanLog
    {
        QList<QPair<QString, int>> files;
        int finished = 0;
        int stopped = 0;
        QList<int> maximum;
        QStringList status;
    };
    void watch(DriveScanner &scanner, ScanLog &log)
    {
        connect(&scanner, &DriveScanner::fileFound, this, [&log](const QString &path, int type) {
            log.files.append({path, type});
        });
        connect(&scanner, &DriveScanner::scanFinished, this, [&log] { ++log.finished; });
        connect(&scanner, &ProgressInterface::userStopped, this, [&log] { ++log.stopped; });
        connect(&scanner, &ProgressInterface::progressMaximum, this,
                [&log](int value) { log.maximum.append(value); });
        connect(&scanner, &ProgressInterface::progressStatus, this,
                [&log](const QString &text) { log.status.append(text); });
    }
    QStringList paths(const ScanLog &log, int type)
    {
        QStringList result;
        for (const auto &file : log.files) {
            if (file.second != type)
                return {QStringLiteral("wrong scan type for ") + file.first};
            result.append(file.first);
        }
        return sorted(result);
    }
    QString at(const QString &name) const { return m_tree + QLatin1Char('/') + name; }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QVERIFY(m_dir.isValid());
        m_tree = m_dir.filePath(QStringLiteral("tree"));
        QVERIFY(QDir().mkpath(m_tree + "/sub"));
        const qint64 limit = DriveScanner::QuickScanSizeLimit;
        QCOMPARE(limit, qint64(10485760));
        for (const char *name :
             {"x.AX", "SETUP.EXE", "File.exe", "file.exe", "doc.pdf", "sub/lib.so", "sub/LIBC.SO",
              "swap.sys", "a.7z", "a.exe ", "libz.so.1", "data", "sub/a|b \"c\"\n'd'.dll"})
            QVERIFY(makeFile(at(QString::fromUtf8(name))));
        QVERIFY(makeFile(at("exact.exe"), limit));
        QVERIFY(makeFile(at("big.exe"), limit + 1));
        QVERIFY(makeFile(at("tool"), 1, 0755));
        QVERIFY(makeFile(at("sub/group-tool"), 1, 0650));
        QVERIFY(makeFile(at("bigtool"), limit + 1, 0755));
        QCOMPARE(::mkfifo(QFile::encodeName(at("pipe.exe")).constData(), 0755), 0);
        QVERIFY(QFile::link(at("SETUP.EXE"), at("link.exe")));
        QVERIFY(QFile::link(at("sub"), at("linked folder")));
        m_badName = QFile::encodeName(m_tree) + "/bad\xff.exe";
        FILE *bad = std::fopen(m_badName.constData(), "w");
        QVERIFY(bad);
        std::fclose(bad);
    }
    void cleanupTestCase() { ::unlink(m_badName.constData()); }

    void quickScanKeepsSmallRiskyFiles()
    {
        DriveScanner scanner;
        scanner.setExtensions(QuickExtensions);
        scanner.setExclusions({at("file.exe"), at("SUB/lib.so")});
        scanner.setSwapFileSource([this] { return QList<QString>{at("swap.sys")}; });
        scanner.setDrives({m_tree});
        ScanLog log;
        watch(scanner, log);
        QSignalSpy finished(&scanner, &DriveScanner::scanFinished);
        scanner.start();
        QVERIFY(finished.wait(30000));
        QVERIFY(scanner.wait(5000));

        const QString bad = FileName::fromBytes(m_badName);
        QCOMPARE(paths(log, DriveScanner::QuickScan),
                 sorted({at("x.AX"), at("SETUP.EXE"), at("File.exe"), at("doc.pdf"),
                         at("exact.exe"), at("sub/lib.so"), at("sub/LIBC.SO"), at("tool"),
                         at("sub/group-tool"), at("sub/a|b \"c\"\n'd'.dll"), bad}));
        QCOMPARE(log.finished, 1);
        QCOMPARE(log.stopped, 0);
        QCOMPARE(log.maximum, QList<int>{0});
        QCOMPARE(log.status, QStringList{QStringLiteral("Finding files in %1").arg(m_tree)});
    }

    void fullScanKeepsEveryRegularFile()
    {
        DriveScanner scanner;
        scanner.setExclusions({at("file.exe")});
        scanner.setSwapFileSource([this] { return QList<QString>{at("swap.sys")}; });
        scanner.setDrives({m_tree, at("data"), m_dir.filePath(QStringLiteral("missing"))});
        QCOMPARE(scanner.scanType(), int(DriveScanner::FullScan));
        ScanLog log;
        watch(scanner, log);
        QSignalSpy finished(&scanner, &DriveScanner::scanFinished);
        scanner.start();
        QVERIFY(finished.wait(30000));

        QStringList expected;
        for (const char *name :
             {"x.AX", "SETUP.EXE", "File.exe", "file.exe", "doc.pdf", "sub/lib.so", "sub/LIBC.SO",
              "swap.sys", "a.7z", "a.exe ", "libz.so.1", "data", "sub/a|b \"c\"\n'd'.dll",
              "exact.exe", "big.exe", "tool", "sub/group-tool", "bigtool"})
            expected.append(at(QString::fromUtf8(name)));
        expected << FileName::fromBytes(m_badName) << at("data");
        QCOMPARE(paths(log, DriveScanner::FullScan), sorted(expected));
        QCOMPARE(log.finished, 1);
    }

    // Each file of a walk comes with the size its finder's thread read, so the
    // table need not read it again on the GUI thread.
    void reportsCarryTheSizeTheWalkRead_data()
    {
        QTest::addColumn<bool>("quick");
        QTest::newRow("quick scan") << true;
        QTest::newRow("full scan") << false;
    }

    void reportsCarryTheSizeTheWalkRead()
    {
        QFETCH(bool, quick);
        DriveScanner scanner;
        if (quick)
            scanner.setExtensions(QuickExtensions);
        scanner.setSwapFileSource([] { return QList<QString>(); });
        scanner.setDrives({m_tree});
        QMap<QString, qint64> reported;
        connect(&scanner, &DriveScanner::fileFound, this,
                [&scanner, &reported](const QString &path, int) {
                    reported.insert(path, scanner.reportedFileBytes());
                });
        QSignalSpy finished(&scanner, &DriveScanner::scanFinished);
        scanner.start();
        QVERIFY(finished.wait(30000));

        QVERIFY(reported.size() >= (quick ? 11 : 19));
        QCOMPARE(reported.value(at("exact.exe")), DriveScanner::QuickScanSizeLimit);
        // A name that is not UTF-8 is found again from its lossless text.
        QCOMPARE(reported.take(FileName::fromBytes(m_badName)), qint64(0));
        for (auto file = reported.cbegin(); file != reported.cend(); ++file)
            QCOMPARE(file.value(), QFileInfo(file.key()).size());
        QCOMPARE(scanner.reportedFileBytes(), DriveScanner::NotMeasured);

        // A file handed over one by one was not measured by any walk.
        reported.clear();
        scanner.addFile(at("tool"));
        QCOMPARE(reported.value(at("tool")), DriveScanner::NotMeasured);
    }

    void gettersForTheScanLog()
    {
        DriveScanner scanner;
        QCOMPARE(scanner.scanType(), int(DriveScanner::FullScan));
        scanner.setExtensions(QuickExtensions);
        QCOMPARE(scanner.scanType(), int(DriveScanner::QuickScan));
        QCOMPARE(scanner.extensions(), QuickExtensions);
        scanner.setExclusions({QStringLiteral("/swapfile")});
        QCOMPARE(scanner.exclusions(), QList<QString>{QStringLiteral("/swapfile")});

        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir.path()));
        const auto back = qScopeGuard([&] { QDir::setCurrent(before); });
        scanner.setDrives(
            {QStringLiteral("tree"), at("data"), QStringLiteral("/nonexistent"), m_tree + "/sub/"});
        QCOMPARE(scanner.drives(),
                 QList<QString>({QStringLiteral("tree"), at("data"), QStringLiteral("/nonexistent"),
                                 m_tree + "/sub/"}));
        // Only existing folders, as absolute paths.
        QCOMPARE(scanner.directories(), QList<QString>({m_tree, m_tree + "/sub"}));
        const QList<QFileInfo> items = scanner.items();
        QCOMPARE(items.size(), 4);
        QVERIFY(items.at(0).isDir());
        QVERIFY(items.at(1).isFile());
        QVERIFY(!items.at(2).exists());
    }

    void stopDuringTheWalk()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (int folder = 0; folder < 20; ++folder) {
            const QString path = dir.filePath(QStringLiteral("d%1").arg(folder));
            QVERIFY(QDir().mkpath(path));
            for (int i = 0; i < 100; ++i)
                QVERIFY(makeFile(path + QStringLiteral("/f%1").arg(i), 0));
        }
        DriveScanner scanner;
        scanner.setSwapFileSource({});
        scanner.setDrives({dir.path()});
        ScanLog log;
        watch(scanner, log);
        connect(&scanner, &DriveScanner::fileFound, &scanner, &DriveScanner::userRequestStop);
        QSignalSpy stopped(&scanner, &ProgressInterface::userStopped);
        QTest::ignoreMessage(QtDebugMsg, "DriveScanner::userRequestStop() called");
        scanner.start();
        QVERIFY(stopped.wait(30000));
        // Let every report of the walk arrive before counting.
        scanner.reset();
        QCoreApplication::sendPostedEvents();
        QCOMPARE(log.stopped, 1);
        QCOMPARE(log.finished, 0);
        // Files the finder met before it saw the stop are not reported after it.
        QCOMPARE(log.files.size(), 1);

        // The scanner is reused for the next scan, which runs in full.
        disconnect(&scanner, &DriveScanner::fileFound, &scanner, &DriveScanner::userRequestStop);
        log = ScanLog();
        QSignalSpy finished(&scanner, &DriveScanner::scanFinished);
        scanner.start();
        QVERIFY(finished.wait(30000));
        QCOMPARE(log.files.size(), 2000);
        QCOMPARE(log.stopped, 0);
    }

    void newScanRightAfterAStop()
    {
        // The stopped walk's end may still be queued when the next scan starts;
        // it must not be taken for the end of the new one.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (int i = 0; i < 500; ++i)
            QVERIFY(makeFile(dir.filePath(QStringLiteral("f%1").arg(i)), 0));
        DriveScanner scanner;
        scanner.setSwapFileSource({});
        scanner.setDrives({dir.path()});
        ScanLog log;
        watch(scanner, log);
        const QMetaObject::Connection stopOnFirst =
            connect(&scanner, &DriveScanner::fileFound, &scanner, &DriveScanner::userRequestStop);
        QSignalSpy stopped(&scanner, &ProgressInterface::userStopped);
        scanner.start();
        QVERIFY(stopped.wait(30000));
        disconnect(stopOnFirst);

        QTest::failOnWarning(QRegularExpression(QStringLiteral("not called by a FileFinder")));
        log = ScanLog();
        scanner.setDrives({m_tree + "/sub"});
        scanner.start();
        QVERIFY(scanner.wait(5000));
        QSignalSpy finished(&scanner, &DriveScanner::scanFinished);
        QVERIFY(finished.wait(30000));
        scanner.reset();
        QCoreApplication::sendPostedEvents();
        QCOMPARE(log.finished, 1);
        QCOMPARE(log.stopped, 0);
        QCOMPARE(log.files.size(), 4);
    }

    void stopWhileTheWalkIsSetUp()
    {
        // The request comes before the finder exists; the owner must still
        // hear that the scan stopped, and never that it finished.
        DriveScanner scanner;
        scanner.setSwapFileSource({});
        scanner.setDrives({m_tree});
        ScanLog log;
        watch(scanner, log);
        connect(
            &scanner, &ProgressInterface::progressMaximum, &scanner,
            [&scanner] { scanner.userRequestStop(); }, Qt::DirectConnection);
        QSignalSpy stopped(&scanner, &ProgressInterface::userStopped);
        scanner.start();
        QVERIFY(stopped.wait(30000));
        QVERIFY(scanner.wait(5000));
        scanner.reset();
        QCoreApplication::sendPostedEvents();
        QCOMPARE(log.stopped, 1);
        QCOMPARE(log.finished, 0);
    }

    void reportsOfAWalkLetGoAreIgnored()
    {
        // A walk let go by reset() may still have reports queued when the next
        // scan starts; none of them may be taken for the new scan's.
        DriveScanner scanner;
        scanner.setSwapFileSource({});
        scanner.setDrives({m_tree});
        const QMetaObject::Connection stopEarly = connect(
            &scanner, &ProgressInterface::progressMaximum, &scanner,
            [&scanner] { scanner.userRequestStop(); }, Qt::DirectConnection);
        scanner.start();
        QVERIFY(scanner.wait(5000));
        scanner.reset(); // waits for the walk; its reports are queued, not handled
        disconnect(stopEarly);

        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        ScanLog log;
        watch(scanner, log);
        scanner.setDrives({m_tree + "/sub"});
        QSignalSpy finished(&scanner, &DriveScanner::scanFinished);
        scanner.start();
        QVERIFY(finished.wait(30000));
        QVERIFY(scanner.wait(5000));
        QCoreApplication::sendPostedEvents();
        QCOMPARE(log.files.size(), 4);
        QCOMPARE(log.stopped, 0);
        QCOMPARE(log.finished, 1);
    }

    void stopWhileIdleIsForgotten()
    {
        DriveScanner scanner;
        scanner.setSwapFileSource({});
        scanner.setDrives({m_tree + "/sub"});
        scanner.userRequestStop();
        ScanLog log;
        watch(scanner, log);
        QSignalSpy finished(&scanner, &DriveScanner::scanFinished);
        scanner.start();
        QVERIFY(finished.wait(30000));
        QCOMPARE(log.files.size(), 4);
        QCOMPARE(log.stopped, 0);
    }

    void emptyScanStillFinishes()
    {
        DriveScanner scanner;
        scanner.setSwapFileSource({});
        scanner.setDrives({m_dir.filePath(QStringLiteral("missing")), QStringLiteral("/proc")});
        ScanLog log;
        watch(scanner, log);
        QSignalSpy finished(&scanner, &DriveScanner::scanFinished);
        scanner.start();
        QVERIFY(finished.wait(30000));
        QVERIFY(log.files.isEmpty());
        QCOMPARE(log.finished, 1);
    }

    // Folders that could not be read or entered reach the owner in order
    // with the files, before the end, and stay listed after it.
    void unreadableFoldersAreReportedInOrder()
    {
        if (!QFileInfo(QStringLiteral("/proc/self")).isDir())
            QSKIP("no /proc here");
        DriveScanner scanner;
        scanner.setSwapFileSource({});
        scanner.setDrives({m_tree + "/sub/lib.so", QStringLiteral("/proc"), at("x.AX")});
        QStringList events;
        connect(&scanner, &DriveScanner::fileFound, this,
                [&](const QString &path, int) { events << QStringLiteral("file ") + path; });
        connect(&scanner, &DriveScanner::folderUnreadable, this,
                [&](const QString &path, const QString &reason) {
                    events << QStringLiteral("folder %1: %2").arg(path, reason);
                });
        connect(&scanner, &DriveScanner::scanFinished, this,
                [&] { events << QStringLiteral("finished"); });
        QSignalSpy finished(&scanner, &DriveScanner::scanFinished);
        scanner.start();
        QVERIFY(finished.wait(30000));
        const QString reason = QStringLiteral("On a pseudo file system (proc)");
        QCOMPARE(events,
                 QStringList({QStringLiteral("file ") + at("sub/lib.so"),
                              QStringLiteral("folder /proc: ") + reason,
                              QStringLiteral("file ") + at("x.AX"), QStringLiteral("finished")}));
        QCOMPARE(scanner.unreadableFolders(),
                 (QList<DriveScanner::UnreadableFolder>{{QStringLiteral("/proc"), reason}}));

        // The next scan starts with an empty list.
        scanner.setDrives({m_tree + "/sub"});
        scanner.start();
        QVERIFY(finished.wait(30000));
        QVERIFY(scanner.unreadableFolders().isEmpty());
    }

    void endNotFromAFinder()
    {
        DriveScanner scanner;
        QSignalSpy finished(&scanner, &DriveScanner::scanFinished);
        QTest::ignoreMessage(QtWarningMsg,
                             "DriveScanner::handleScanFinished() was not called by a FileFinder!");
        scanner.handleScanFinished();
        QCOMPARE(finished.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDriveScanner)
#include "tst_drivescanner.moc"
