#include "platform/linuxrunningprocesses.h"
#include "testenvironment.h"

#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QByteArray statLine(quint32 pid, const QByteArray &name, char state, quint32 parent,
                    quint64 flags = 4194304, quint64 startTime = 5000)
{
    return QByteArray::number(pid) + " (" + name + ") " + state + ' ' + QByteArray::number(parent) +
           " 1 1 0 -1 " + QByteArray::number(flags) + " 0 0 0 0 0 0 0 0 20 0 1 0 " +
           QByteArray::number(startTime) +
           " 2990080 406 18446744073709551615 0 0 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList describe(const QList<ProcStat> &processes)
{
    QStringList lines;
    for (const ProcStat &process : processes)
        lines << QStringLiteral("%1 %2 %3")
                     .arg(process.pid)
                     .arg(process.displayName())
                     .arg(process.parentPid);
    lines.sort();
    return lines;
}
} // namespace

class TestLinuxRunningProcesses : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_proc;

    void addProcess(quint32 pid, const QByteArray &stat)
    {
        QVERIFY(QDir(m_proc.path()).mkpath(QString::number(pid)));
        QVERIFY(writeFile(QStringLiteral("%1/%2/stat").arg(m_proc.path()).arg(pid), stat));
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QVERIFY(m_proc.isValid());
        // A folder laid out as /proc.
        addProcess(100, statLine(100, "a b|c) (d", 'S', 1));
        addProcess(103, statLine(103, "kworker/0:1", 'I', 2, 0x00208040));
        addProcess(104, statLine(104, "sleep", 'Z', 100));
        addProcess(4000000000u, statLine(4000000000u, "big", 'R', 100));
        // Vanished between the listing and the read: no stat, or an empty one.
        QVERIFY(QDir(m_proc.path()).mkpath(QStringLiteral("101")));
        addProcess(102, QByteArray());
        // Not processes.
        QVERIFY(QDir(m_proc.path()).mkpath(QStringLiteral("self")));
        QVERIFY(QDir(m_proc.path()).mkpath(QStringLiteral("12x")));
        QVERIFY(writeFile(m_proc.filePath(QStringLiteral("uptime")), "1.0 2.0\n"));
    }

    void listsWhatCanBeRead()
    {
        LinuxRunningProcesses processes(m_proc.path());
        QList<ProcStat> listed;
        QVERIFY(processes.list(&listed));
        // Kernel threads and zombies are listed; leaving them out is the finder's choice.
        QCOMPARE(describe(listed), QStringList({"100 a b|c) (d 1", "103 kworker/0:1 2",
                                                "104 sleep 100", "4000000000 big 100"}));
    }

    void unreadableListIsAFailure()
    {
        LinuxRunningProcesses missing(m_proc.filePath(QStringLiteral("missing")));
        QList<ProcStat> listed{ProcStat()};
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral(
                                 "^SYSTEM API Error for 'LinuxRunningProcesses::list\\(\\) "
                                 "opendir\\( .*/missing \\)' \\[2\\]")));
        QVERIFY(!missing.list(&listed));
        QVERIFY(listed.isEmpty());

        QTemporaryDir empty;
        LinuxRunningProcesses none(empty.path());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("found no process")));
        QVERIFY(!none.list(&listed));
    }

    void outOfDescriptorsIsAFailure()
    {
        // A listing that skipped every process it could not open would make
        // them all look ended. Leave exactly one descriptor free: the folder
        // takes it, and the first stat cannot be opened.
        rlimit saved;
        QVERIFY(getrlimit(RLIMIT_NOFILE, &saved) == 0);
        int highest = 0;
        for (const QString &entry :
             QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System))
            highest = qMax(highest, entry.toInt());
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(highest + 8);
        QVERIFY(setrlimit(RLIMIT_NOFILE, &tight) == 0);
        QList<int> fillers;
        const auto restore = qScopeGuard([&] {
            for (int fd : fillers)
                ::close(fd);
            setrlimit(RLIMIT_NOFILE, &saved);
        });
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            fillers << fd;
        QCOMPARE(errno, EMFILE);
        ::close(fillers.takeLast());

        LinuxRunningProcesses processes(m_proc.path());
        QList<ProcStat> listed;
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral(
                                 "^SYSTEM API Error for 'LinuxRunningProcesses::list\\(\\) read "
                                 ".*/\\d+/stat' \\[24\\]")));
        QVERIFY(!processes.list(&listed));
        QVERIFY(listed.isEmpty());
    }

    void keptFilesFollowTheirProcess()
    {
        // The stat files of a snapshot stay open for the next one; what they
        // show must still be the process as it is now.
        LinuxRunningProcesses processes;
        const quint32 self = quint32(QCoreApplication::applicationPid());
        const auto child = [&](quint32 pid) -> QString {
            QList<ProcStat> listed;
            if (!processes.list(&listed))
                return QStringLiteral("failed");
            for (const ProcStat &process : std::as_const(listed)) {
                if (process.pid == pid)
                    return QStringLiteral("%1 %2")
                        .arg(process.displayName())
                        .arg(process.parentPid);
            }
            return QString();
        };

        // A process that becomes another program keeps its pid and its file.
        QProcess changing;
        changing.start(QStringLiteral("sh"),
                       {QStringLiteral("-c"), QStringLiteral("read line; exec sleep 30")});
        QVERIFY(changing.waitForStarted());
        const auto stop = qScopeGuard([&] {
            changing.kill();
            changing.waitForFinished();
        });
        const quint32 pid = quint32(changing.processId());
        QCOMPARE(child(pid), QStringLiteral("sh %1").arg(self));
        QVERIFY(processes.heldStatFiles() > 0);
        changing.write("go\n");
        QTRY_COMPARE_WITH_TIMEOUT(child(pid), QStringLiteral("sleep %1").arg(self), 10000);

        // An ended process is not listed, though its file was kept.
        changing.kill();
        QVERIFY(changing.waitForFinished());
        QVERIFY(child(pid).isEmpty());
    }

    void keptFilesMakeWayWhenDescriptorsRunOut()
    {
        LinuxRunningProcesses processes;
        QList<ProcStat> listed;
        QVERIFY(processes.list(&listed));
        QVERIFY(processes.heldStatFiles() > 0);
        // A process the kept files do not cover, then no descriptor left.
        QProcess child;
        child.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(child.waitForStarted());
        const auto stop = qScopeGuard([&] {
            child.kill();
            child.waitForFinished();
        });
        rlimit saved;
        QVERIFY(getrlimit(RLIMIT_NOFILE, &saved) == 0);
        QList<int> fillers;
        const auto restore = qScopeGuard([&] {
            for (int fd : fillers)
                ::close(fd);
        });
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            fillers << fd;
        QCOMPARE(errno, EMFILE);
        ::close(fillers.takeLast()); // for the folder

        QVERIFY(processes.list(&listed));
        QVERIFY(std::any_of(listed.cbegin(), listed.cend(), [&child](const ProcStat &process) {
            return process.pid == quint32(child.processId());
        }));
    }

    void oneProcessLookUps()
    {
        LinuxRunningProcesses processes(m_proc.path());
        ProcStat stat;
        QCOMPARE(processes.stat(100, &stat), 0);
        QCOMPARE(stat.name, QByteArray("a b|c) (d"));
        QCOMPARE(processes.stat(101, &stat), ENOENT);
        QCOMPARE(processes.stat(102, &stat), ESRCH); // vanished while read
        QCOMPARE(processes.stat(105, &stat), ENOENT);

        // A real name may hold "|" and blanks, and end in " (deleted)".
        const QString image = m_proc.filePath(QStringLiteral("image"));
        QVERIFY(writeFile(image, "running image"));
        const QString folder = m_proc.filePath(QStringLiteral("a folder | b"));
        QVERIFY(QDir().mkdir(folder));
        const QString target = folder + QStringLiteral("/pro|gram (deleted)");
        QVERIFY(QFile::copy(image, target));
        QVERIFY(QFile::link(target, m_proc.filePath(QStringLiteral("100/exe"))));
        QByteArray path;
        QCOMPARE(processes.executablePath(100, &path), 0);
        QCOMPARE(QFile::decodeName(path), target);
        QCOMPARE(processes.executablePath(101, &path), ENOENT);

        RunningProcesses::ImageIdentity identity;
        QCOMPARE(processes.imageIdentity(100, &identity), 0);
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(target).constData(), &st) == 0);
        QCOMPARE(identity.inode, quint64(st.st_ino));
        QCOMPARE(identity.device, quint64(st.st_dev));
        QCOMPARE(identity.size, qint64(13));
        QCOMPARE(processes.imageIdentity(101, &identity), ENOENT);
        QCOMPARE(processes.imagePath(100), m_proc.filePath(QStringLiteral("100/exe")));
    }

    void thisMachine()
    {
        LinuxRunningProcesses processes;
        QProcess child;
        child.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(child.waitForStarted());
        const auto stop = qScopeGuard([&] {
            child.kill();
            child.waitForFinished();
        });
        const quint32 self = quint32(QCoreApplication::applicationPid());
        const quint32 sleeper = quint32(child.processId());

        QList<ProcStat> listed;
        QVERIFY(processes.list(&listed));
        QStringList seen;
        for (const ProcStat &process : std::as_const(listed)) {
            if (process.pid == self || process.pid == sleeper)
                seen << QStringLiteral("%1 %2").arg(process.displayName()).arg(process.parentPid);
        }
        seen.sort();
        QStringList expected{
            QStringLiteral("sleep %1").arg(self),
            QStringLiteral("%1 %2")
                .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15))
                .arg(getppid())};
        expected.sort();
        QCOMPARE(seen, expected);

        QByteArray path;
        QCOMPARE(processes.executablePath(self, &path), 0);
        QCOMPARE(QFile::decodeName(path), QCoreApplication::applicationFilePath());
        RunningProcesses::ImageIdentity identity;
        QCOMPARE(processes.imageIdentity(self, &identity), 0);
        QCOMPARE(identity.size, QFileInfo(QCoreApplication::applicationFilePath()).size());

        ProcStat before;
        QCOMPARE(processes.stat(sleeper, &before), 0);
        child.kill();
        QVERIFY(child.waitForFinished());
        ProcStat after;
        QCOMPARE(processes.stat(sleeper, &after), ENOENT);
        QCOMPARE(processes.executablePath(sleeper, &path), ENOENT);
    }
};

QTEST_GUILESS_MAIN(TestLinuxRunningProcesses)
#include "tst_linuxrunningprocesses.moc"
