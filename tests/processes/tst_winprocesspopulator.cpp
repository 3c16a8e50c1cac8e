#include "childprograms.h"
#include "fakerunningprocesses.h"
#include "platform/clock.h"
#include "platform/executableicon.h"
#include "processes/winprocess.h"
#include "processes/winprocesspopulator.h"
#include "testenvironment.h"

#include <QtTest>

#include <QSemaphore>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {
const char ChildVariable[] = "TST_WINPROCESSPOPULATOR_CHILD";

struct Event
{
    QString record;
    int property;
    QVariant value;
};

// What one run reported, in order.
struct RunLog
{
    QList<Event> events;
    QList<QList<QString>> digestLists;
    int denied = 0;

    // "state 3", "path /x", "large", "small", "md5 ...", "sha1 ...", "state 2".
    QStringList of(const QString &record) const
    {
        QStringList out;
        for (const Event &event : events) {
            if (event.record != record)
                continue;
            switch (event.property) {
            case WinProcess::OrvexState:
                out << QStringLiteral("state %1").arg(event.value.toInt());
                break;
            case WinProcess::FilePath:
                out << QStringLiteral("path ") + event.value.toString();
                break;
            case WinProcess::LargeIcon:
                out << QStringLiteral("large");
                break;
            case WinProcess::SmallIcon:
                out << QStringLiteral("small");
                break;
            case WinProcess::MD5:
                out << QStringLiteral("md5 ") + event.value.toString();
                break;
            case WinProcess::SHA1:
                out << QStringLiteral("sha1 ") + event.value.toString();
                break;
            default:
                out << QStringLiteral("property %1").arg(event.property);
            }
        }
        return out;
    }
};

// Records everything the populator reports on its own thread.
class Recorder
{
public:
    explicit Recorder(WinProcessPopulator &populator)
    {
        QObject::connect(
            &populator, &ProcessModifier::setProcessProperty, &populator,
            [this](const QString &record, int property, const QVariant &value) {
                const QMutexLocker locker(&m_mutex);
                m_log.events.append({record, property, value});
            },
            Qt::DirectConnection);
        QObject::connect(
            &populator, &WinProcessPopulator::processDigests, &populator,
            [this](const QList<QString> &digests) {
                const QMutexLocker locker(&m_mutex);
                m_log.digestLists.append(digests);
            },
            Qt::DirectConnection);
        QObject::connect(
            &populator, &WinProcessPopulator::processDenied, &populator,
            [this] {
                const QMutexLocker locker(&m_mutex);
                ++m_log.denied;
            },
            Qt::DirectConnection);
    }
    RunLog log() const
    {
        const QMutexLocker locker(&m_mutex);
        return m_log;
    }

private:
    mutable QMutex m_mutex;
    RunLog m_log;
};

RunLog runOnce(const QList<QString> &records)
{
    WinProcessPopulator populator;
    Recorder recorder(populator);
    populator.setProcessData(records);
    populator.start();
    populator.wait();
    return recorder.log();
}

QStringList digested(const QString &path, const ProgramCopy &copy)
{
    return {QStringLiteral("state 3"),         QStringLiteral("path ") + path,
            QStringLiteral("large"),           QStringLiteral("small"),
            QStringLiteral("md5 ") + copy.md5, QStringLiteral("sha1 ") + copy.sha1};
}

const QStringList GivenUp{QStringLiteral("state 3"), QStringLiteral("large"),
                          QStringLiteral("small"), QStringLiteral("state 2")};

// In a copy of this program that runs as another user: populates the record
// given and prints what it reported and how many warnings it logged.
int runAsChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    LogCapture log;
    const RunLog result = runOnce({QString::fromLocal8Bit(argv[1])});
    for (const QString &line : result.of(QString::fromLocal8Bit(argv[1])))
        std::printf("%s\n", qPrintable(line));
    std::printf("passes %d\n", int(result.digestLists.size()));
    std::printf("denied %d\n", result.denied);
    for (const QString &line : log.lines()) {
        if (line.startsWith(QLatin1String("SYSTEM API Error")) ||
            line.contains(QLatin1String("failed to get digest")))
            std::printf("log %s\n", qPrintable(line));
    }
    return 0;
}
} // namespace

class TestWinProcessPopulator : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;

    ProgramCopy copy(const QString &name, const QByteArray &tag)
    {
        const ProgramCopy program = ProgramCopy::make(m_dir->path(), name, tag);
        if (program.path.isEmpty())
            qFatal("cannot copy sleep to %s", qPrintable(name));
        return program;
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
        ExecutableIcon::prepare();
        if (QStandardPaths::findExecutable(QStringLiteral("sleep")).isEmpty())
            QSKIP("sleep is not installed");
    }
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        // Let the unprivileged child reach the programs.
        QVERIFY(QFile::setPermissions(m_dir->path(),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ExeOther));
        Clock::setTestWaitDivisor(100);
    }
    void cleanup()
    {
        Clock::resetTestSeam();
        delete m_dir;
        m_dir = nullptr;
    }

    void iconsAreMadeOnce()
    {
        for (bool large : {false, true}) {
            const QByteArray bytes = ExecutableIcon::png(large);
            QImage image;
            QVERIFY(image.loadFromData(bytes, "PNG"));
            const int size = large ? ExecutableIcon::LargeSize : ExecutableIcon::SmallSize;
            QCOMPARE(image.size(), QSize(size, size));
            // The very same bytes every time, for every process.
            QVERIFY(ExecutableIcon::png(large).constData() == bytes.constData());
        }
    }

    void childGetsPathIconsAndDigests()
    {
        // A name with blanks, brackets and "|", as a command name can be.
        const ProgramCopy program = copy(QStringLiteral("a b) (c|d"), "tag one");
        Sleepers sleepers;
        const quint32 pid = sleepers.start(program.path);
        QVERIFY(pid);
        const QString record = Sleepers::record(pid, program.path);
        const RunLog log = runOnce({record});
        QCOMPARE(log.of(record), digested(program.path, program));
        // Done in one pass: one report of the digests.
        QCOMPARE(log.digestLists, QList<QList<QString>>{{program.md5}});
        for (const Event &event : log.events) {
            if (event.property == WinProcess::LargeIcon || event.property == WinProcess::SmallIcon)
                QCOMPARE(event.value.toByteArray(),
                         ExecutableIcon::png(event.property == WinProcess::LargeIcon));
        }
    }

    void runningImageIsDigested_data()
    {
        QTest::addColumn<bool>("replaced");
        QTest::newRow("deleted after the start") << false;
        QTest::newRow("replaced on disk after the start") << true;
    }
    void runningImageIsDigested()
    {
        QFETCH(bool, replaced);
        const ProgramCopy program = copy(QStringLiteral("updated"), "the running one");
        Sleepers sleepers;
        const quint32 pid = sleepers.start(program.path);
        QVERIFY(pid);
        if (replaced)
            QVERIFY(ProgramCopy::replace(program.path, program.bytes + "the next version"));
        else
            QVERIFY(QFile::remove(program.path));
        const QString record = Sleepers::record(pid, program.path);
        const RunLog log = runOnce({record});
        // The kernel names the file that is gone; the digests are of the image that runs.
        QCOMPARE(log.of(record), digested(program.path + QStringLiteral(" (deleted)"), program));
    }

    void eachProgramIsReadOnce()
    {
        const ProgramCopy shared = copy(QStringLiteral("shared"), "shared by five");
        const ProgramCopy other = copy(QStringLiteral("other"), "alone");
        Sleepers sleepers;
        QList<QString> records;
        for (int i = 0; i < 5; ++i)
            records << Sleepers::record(sleepers.start(shared.path), shared.path);
        records << Sleepers::record(sleepers.start(other.path), other.path);

        WinProcessPopulator populator;
        Recorder recorder(populator);
        LogCapture reads;
        populator.setProcessData(records);
        populator.start();
        populator.wait();
        QCOMPARE(recorder.log().digestLists.size(), 1);
        QCOMPARE(recorder.log().digestLists.first(),
                 QList<QString>(
                     {shared.md5, shared.md5, shared.md5, shared.md5, shared.md5, other.md5}));
        QCOMPARE(reads.count(QStringLiteral("WinProcessPopulator::readImage() reading")), 2);

        // Known from the run before, as long as the file is unchanged.
        const quint32 late = sleepers.start(shared.path);
        const QString lateRecord = Sleepers::record(late, shared.path);
        populator.setProcessData({lateRecord});
        populator.start();
        populator.wait();
        QCOMPARE(recorder.log().of(lateRecord), digested(shared.path, shared));
        QCOMPARE(reads.count(QStringLiteral("WinProcessPopulator::readImage() reading")), 2);
    }

    void largeImageIsDigestedWhole()
    {
        // Read in chunks, it must still come out as the digest of every byte.
        QByteArray tail(40 * 1024 * 1024 + 123, '\0');
        for (qsizetype i = 0; i < tail.size(); i += 4093)
            tail[i] = char(i / 4093);
        const ProgramCopy program = copy(QStringLiteral("large"), tail);
        Sleepers sleepers;
        const quint32 pid = sleepers.start(program.path);
        QVERIFY(pid);
        const QString record = Sleepers::record(pid, program.path);
        QCOMPARE(runOnce({record}).of(record), digested(program.path, program));
    }

    void endedProcessesAreGivenUpAtOnce_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("ended before the look-up") << "ended";
        QTest::newRow("pid that is not a number: process 0") << "not a number";
        QTest::newRow("pid now used by another program") << "other name";
        QTest::newRow("pid now used under another parent") << "other parent";
    }
    void endedProcessesAreGivenUpAtOnce()
    {
        QFETCH(QString, kind);
        const ProgramCopy program = copy(QStringLiteral("brief"), "brief");
        Sleepers sleepers;
        const quint32 pid = sleepers.start(program.path);
        QVERIFY(pid);
        QString record = Sleepers::record(pid, program.path);
        if (kind == QLatin1String("ended"))
            sleepers.stop(pid);
        else if (kind == QLatin1String("not a number"))
            record = QStringLiteral("x|brief|1");
        else if (kind == QLatin1String("other name"))
            record = QStringLiteral("%1|cat|%2").arg(pid).arg(QCoreApplication::applicationPid());
        else
            record = QStringLiteral("%1|brief|1").arg(pid);
        LogCapture log;
        const RunLog result = runOnce({record});
        QCOMPARE(result.of(record), GivenUp);
        // No ten passes for a process that is gone, and no warning for it.
        QCOMPARE(result.digestLists, QList<QList<QString>>{{}});
        QCOMPARE(log.count(QStringLiteral("failed to get digest")), 0);
        QCOMPARE(log.count(QStringLiteral("SYSTEM API Error")), 0);
    }

    void startTimeIsCheckedAroundEachLookUp_data()
    {
        // The start times successive stat reads see: a change means the pid
        // now belongs to another process, which must not lend its path or image.
        QTest::addColumn<QList<quint64>>("startTimes");
        QTest::addColumn<bool>("pathKept");
        QTest::newRow("reused during the path look-up") << QList<quint64>{5, 6} << false;
        QTest::newRow("reused before the image is read") << QList<quint64>{5, 5, 6} << true;
        QTest::newRow("reused while the image is read") << QList<quint64>{5, 5, 5, 6} << true;
    }
    void startTimeIsCheckedAroundEachLookUp()
    {
        QFETCH(QList<quint64>, startTimes);
        QFETCH(bool, pathKept);
        const ProgramCopy program = copy(QStringLiteral("reused"), "reused");
        Sleepers sleepers;
        const quint32 pid = sleepers.start(program.path);
        QVERIFY(pid);
        FakeRunningProcesses fake;
        fake.setStartTimes(pid, startTimes);
        const QString record = Sleepers::record(pid, program.path);
        const RunLog log = runOnce({record});
        QStringList expected = GivenUp;
        if (pathKept)
            expected.insert(1, QStringLiteral("path ") + program.path);
        QCOMPARE(log.of(record), expected);
        QCOMPARE(log.digestLists, QList<QList<QString>>{{}});
    }

    void passingFailureIsTriedTenPasses()
    {
        const ProgramCopy program = copy(QStringLiteral("flaky"), "flaky");
        const ProgramCopy fine = copy(QStringLiteral("fine"), "fine");
        Sleepers sleepers;
        const quint32 pid = sleepers.start(program.path);
        const quint32 finePid = sleepers.start(fine.path);
        QVERIFY(pid && finePid);
        FakeRunningProcesses fake;
        fake.setImageError(pid, EIO);
        const QString record = Sleepers::record(pid, program.path);
        const QString fineRecord = Sleepers::record(finePid, fine.path);
        LogCapture log;
        const RunLog result = runOnce({record, fineRecord});

        QCOMPARE(result.digestLists.size(), WinProcessPopulator::MaxPasses);
        QCOMPARE(result.digestLists.first(), QList<QString>{fine.md5});
        for (int pass = 1; pass < WinProcessPopulator::MaxPasses; ++pass)
            QVERIFY(result.digestLists.at(pass).isEmpty());
        QStringList expected;
        for (int pass = 0; pass < WinProcessPopulator::MaxPasses; ++pass)
            expected << QStringLiteral("state 3") << QStringLiteral("path ") + program.path
                     << QStringLiteral("large") << QStringLiteral("small")
                     << QStringLiteral("state 2");
        QCOMPARE(result.of(record), expected);
        QCOMPARE(result.of(fineRecord), digested(fine.path, fine));
        QCOMPARE(log.count(QStringLiteral("WinProcessPopulator::run() failed to get digest for "
                                          "process data '%1'")
                               .arg(record)),
                 WinProcessPopulator::MaxPasses);
    }

    void batchGivenDuringTheLastPassGetsPassesOfItsOwn()
    {
        const ProgramCopy program = copy(QStringLiteral("flaky"), "flaky");
        const ProgramCopy late = copy(QStringLiteral("late"), "late");
        Sleepers sleepers;
        const quint32 pid = sleepers.start(program.path);
        const quint32 latePid = sleepers.start(late.path);
        QVERIFY(pid && latePid);
        FakeRunningProcesses fake;
        fake.setImageError(pid, EIO);
        // Hold the run inside its tenth and last pass.
        QSemaphore inLastPass;
        QSemaphore release;
        fake.setImageHook(pid, [&](int call) {
            if (call == WinProcessPopulator::MaxPasses) {
                inLastPass.release();
                release.acquire();
            }
        });
        const QString record = Sleepers::record(pid, program.path);
        const QString lateRecord = Sleepers::record(latePid, late.path);

        WinProcessPopulator populator;
        Recorder recorder(populator);
        populator.setProcessData({record});
        populator.start();
        QVERIFY(inLastPass.tryAcquire(1, 30000));
        QTest::ignoreMessage(QtCriticalMsg, "WinProcessPopulator::setProcessData() called when "
                                            "the thread is already running");
        populator.setProcessData({lateRecord});
        populator.start(); // does nothing: the thread runs
        release.release();
        QVERIFY(populator.wait(30000));
        QCOMPARE(recorder.log().of(lateRecord), digested(late.path, late));
        QVERIFY(!populator.hasUntakenBatch());
    }

    void anotherUsersProcessIsGivenUpAfterOnePass()
    {
        // Root may inspect every process, so the look-up runs in a copy of this
        // program that has given up root, against a process root started.
        // Without root, the check runs here against a process of root.
        Sleepers sleepers;
        QString record;
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        quint32 pid = 0;
        if (geteuid() == 0) {
            const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
            pid = sleepers.start(sleep);
            QVERIFY(pid);
            record = Sleepers::record(pid, sleep);
            child.start(QStringLiteral("setpriv"),
                        {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                         QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                         record});
        } else {
            ProcStat init;
            QByteArray path;
            const LinuxRunningProcesses machine;
            if (machine.stat(1, &init) != 0 || machine.executablePath(1, &path) != EACCES)
                QSKIP("needs root, or a process 1 that this user may not inspect");
            pid = 1;
            record = QStringLiteral("1|%1|%2").arg(init.displayName()).arg(init.parentPid);
            child.start(QCoreApplication::applicationFilePath(), {record});
        }
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 0);
        const QStringList lines = QString::fromUtf8(child.readAllStandardOutput())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        // State 2 at once, one pass, and one line in the log for the process.
        QCOMPARE(lines, QStringList({QStringLiteral("state 3"), QStringLiteral("large"),
                                     QStringLiteral("small"), QStringLiteral("state 2"),
                                     QStringLiteral("passes 1"), QStringLiteral("denied 1"),
                                     QStringLiteral("log SYSTEM API Error for "
                                                    "'WinProcessPopulator::getProcessPath() PID "
                                                    "%1' [13]: 'Permission denied'")
                                         .arg(pid)}));
    }

    void handedOverBatchIsTakenByTheNextRun()
    {
        WinProcessPopulator populator;
        // Idle: no complaint.
        populator.setProcessData({QStringLiteral("x|a|1")});
        QVERIFY(populator.hasUntakenBatch());
        populator.start();
        QVERIFY(populator.wait(30000));
        QVERIFY(!populator.hasUntakenBatch());
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(ChildVariable))
        return runAsChild(argc, argv);
    QApplication app(argc, argv);
    TestWinProcessPopulator test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_winprocesspopulator.moc"
