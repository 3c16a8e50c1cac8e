#include "platform/pseudofilesystems.h"
#include "testenvironment.h"

#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {
// Captured from a desktop system, with a few lines made harder on purpose.
const QByteArray MountInfo =
    "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
    "22 26 0:21 / /sys rw,nosuid,nodev,noexec,relatime shared:7 - sysfs sysfs rw\n"
    "23 26 0:6 / /dev rw,relatime shared:2 - devtmpfs devtmpfs rw,size=12335000k,mode=755\n"
    "24 23 0:22 / /dev/shm rw,relatime shared:3 - tmpfs tmpfs rw\n"
    "25 23 0:23 / /dev/pts rw,relatime shared:4 master:1 - devpts devpts rw,mode=600\n"
    "26 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
    "31 30 0:28 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
    "40 30 0:37 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n"
    "41 22 0:38 / /sys/kernel/debug rw,relatime - debugfs debugfs rw\n"
    "42 21 0:39 / /proc/sys/fs/binfmt_misc rw,relatime - autofs systemd-1 rw,fd=29\n"
    "43 26 0:40 / /media/usb\\040stick rw,relatime - vfat /dev/sdb1 rw\n"
    "44 26 0:41 / /home/u/remote rw,nosuid - fuse.sshfs u@host: rw\n"
    "45 26 0:42 / /tmp rw - tmpfs tmpfs rw\n"
    "this line is broken\n"
    "46 26 x:y / /bad rw - proc proc rw\n"
    "\n";
} // namespace

class TestPseudoFileSystems : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void isPseudoType_data()
    {
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<bool>("pseudo");
        for (const char *type :
             {"proc", "sysfs", "devtmpfs", "devpts", "cgroup", "cgroup2", "debugfs", "tracefs",
              "securityfs", "configfs", "bpf", "pstore", "mqueue", "hugetlbfs", "fusectl",
              "binfmt_misc", "autofs", "efivarfs"})
            QTest::newRow(type) << QByteArray(type) << true;
        for (const char *type :
             {"ext4", "tmpfs", "vfat", "fuse.sshfs", "overlay", "nfs", "", "PROC"})
            QTest::newRow(type[0] ? type : "empty") << QByteArray(type) << false;
    }
    void isPseudoType()
    {
        QFETCH(QByteArray, type);
        QFETCH(bool, pseudo);
        QCOMPARE(PseudoFileSystems::isPseudoType(type), pseudo);
    }

    void isPseudoMagic_data()
    {
        QTest::addColumn<quint64>("magic");
        QTest::addColumn<bool>("pseudo");
        QTest::newRow("proc") << quint64(0x9fa0) << true;
        QTest::newRow("sysfs") << quint64(0x62656572) << true;
        QTest::newRow("cgroup2") << quint64(0x63677270) << true;
        QTest::newRow("efivarfs") << quint64(0xde5e81e4) << true;
        QTest::newRow("ext4") << quint64(0xef53) << false;
        QTest::newRow("tmpfs (devtmpfs shares it)") << quint64(0x01021994) << false;
        QTest::newRow("btrfs") << quint64(0x9123683e) << false;
    }
    void isPseudoMagic()
    {
        QFETCH(quint64, magic);
        QFETCH(bool, pseudo);
        QCOMPARE(PseudoFileSystems::isPseudoMagic(magic), pseudo);
    }

    void parseMountInfo()
    {
        const QList<PseudoFileSystems::Mount> mounts = PseudoFileSystems::parseMountInfo(MountInfo);
        QCOMPARE(mounts.size(), 13);
        QCOMPARE(mounts.at(0).device, quint64(makedev(0, 20)));
        QCOMPARE(mounts.at(0).mountPoint, QStringLiteral("/proc"));
        QCOMPARE(mounts.at(0).type, QByteArray("proc"));
        // Optional fields before the separator do not shift the type.
        QCOMPARE(mounts.at(4).type, QByteArray("devpts"));
        QCOMPARE(mounts.at(5).device, quint64(makedev(254, 0)));
        QCOMPARE(mounts.at(10).mountPoint, QStringLiteral("/media/usb stick"));
        QCOMPARE(mounts.at(11).type, QByteArray("fuse.sshfs"));
    }

    void pseudoDevices()
    {
        const QSet<quint64> devices = PseudoFileSystems::pseudoDevices(MountInfo);
        QSet<quint64> expected;
        for (uint minor : {20u, 21u, 6u, 23u, 28u, 37u, 38u, 39u})
            expected.insert(makedev(0, minor));
        QCOMPARE(devices, expected);
    }

    void liveTableKnowsProc()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        struct stat st;
        QCOMPARE(::stat("/proc", &st), 0);
        QVERIFY(PseudoFileSystems::readPseudoDevices().contains(quint64(st.st_dev)));
    }

    void unreadableTableIsEmpty()
    {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                               "^SYSTEM API Error for "
                                               "'PseudoFileSystems::readPseudoDevices\\(\\) ")));
        QVERIFY(PseudoFileSystems::readPseudoDevices(QStringLiteral("/nonexistent")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPseudoFileSystems)
#include "tst_pseudofilesystems.moc"
