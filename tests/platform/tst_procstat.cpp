#include "platform/procstat.h"

#include <QtTest>

// /proc/<pid>/stat lines captured from a running system.
namespace {
const QByteArray Sleeper =
    "25666 (x) (y|z w) S 1 25661 9045 0 -1 4194304 140 0 0 0 0 0 0 0 20 0 1 0 230791 2990080 406 "
    "18446744073709551615 94634753216512 94634753234441 140734876954080 0 0 0 0 6 0 1 0 0 17 0 0 0 "
    "0 0 0 94634753248528 94634753249792 94635195101184 140734876957321 140734876957338 "
    "140734876957338 140734876958698 0\n";
const QByteArray Kthreadd =
    "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 36 0 0 18446744073709551615 0 0 "
    "0 0 0 0 0 2147483647 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
const QByteArray Kworker =
    "12 (kworker/u8:0-writeback) I 2 0 0 0 -1 69238880 0 0 0 0 0 53 0 0 20 0 1 0 36 0 0 "
    "18446744073709551615 0 0 0 0 0 0 0 2147483647 0 1 0 0 17 1 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
const QByteArray Zombie =
    "25674 (sleep) Z 25672 25661 9045 0 -1 4227084 142 0 0 0 0 0 0 0 20 0 1 0 230846 0 0 "
    "18446744073709551615 0 0 0 0 0 0 0 6 0 1 0 0 17 1 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
const QByteArray Init = "1 (process_api) S 0 0 0 0 -1 4194560 42316 35768392 0 627 278 1386 "
                        "123184 20323 10 -10 45 0 36 69697536 4500 18446744073709551615 1 1 0 0 "
                        "0 0 0 4096 1256 0 0 0 17 1 0 0 0 0 0 0 0 0 0 0 0 0 0\n";

// The sleeper's line with another name in its brackets.
QByteArray named(const QByteArray &name)
{
    return "25666 (" + name + Sleeper.mid(Sleeper.indexOf(") S "));
}
} // namespace

class TestProcStat : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fields_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<uint>("pid");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("state");
        QTest::addColumn<uint>("parentPid");
        QTest::addColumn<quint64>("startTime");
        QTest::addColumn<bool>("kernelThread");
        QTest::addColumn<bool>("zombie");

        QTest::newRow("brackets, bar and blank in the name")
            << Sleeper << 25666u << QByteArray("x) (y|z w") << "S" << 1u << quint64(230791) << false
            << false;
        QTest::newRow("kernel thread daemon") << Kthreadd << 2u << QByteArray("kthreadd") << "S"
                                              << 0u << quint64(36) << true << false;
        QTest::newRow("kernel worker") << Kworker << 12u << QByteArray("kworker/u8:0-writeback")
                                       << "I" << 2u << quint64(36) << true << false;
        QTest::newRow("zombie") << Zombie << 25674u << QByteArray("sleep") << "Z" << 25672u
                                << quint64(230846) << false << true;
        QTest::newRow("negative priority and nice") << Init << 1u << QByteArray("process_api")
                                                    << "S" << 0u << quint64(36) << false << false;
        QTest::newRow("name is a closing bracket") << named(")") << 25666u << QByteArray(")") << "S"
                                                   << 1u << quint64(230791) << false << false;
        QTest::newRow("name that looks like fields")
            << named("a) Z 7 8 9") << 25666u << QByteArray("a) Z 7 8 9") << "S" << 1u
            << quint64(230791) << false << false;
        QTest::newRow("empty name") << named("") << 25666u << QByteArray() << "S" << 1u
                                    << quint64(230791) << false << false;
        QTest::newRow("line break and bytes that are not UTF-8")
            << named("a\nb\xff") << 25666u << QByteArray("a\nb\xff") << "S" << 1u << quint64(230791)
            << false << false;
        QTest::newRow("no line end") << Sleeper.chopped(1) << 25666u << QByteArray("x) (y|z w")
                                     << "S" << 1u << quint64(230791) << false << false;
    }
    void fields()
    {
        QFETCH(QByteArray, text);
        QFETCH(uint, pid);
        QFETCH(QByteArray, name);
        QFETCH(QString, state);
        QFETCH(uint, parentPid);
        QFETCH(quint64, startTime);
        QFETCH(bool, kernelThread);
        QFETCH(bool, zombie);
        ProcStat stat;
        QVERIFY(ProcStat::parse(text, &stat));
        QCOMPARE(stat.pid, pid);
        QCOMPARE(stat.name, name);
        QCOMPARE(QString(QLatin1Char(stat.state)), state);
        QCOMPARE(stat.parentPid, parentPid);
        QCOMPARE(stat.startTime, startTime);
        QCOMPARE(stat.isKernelThread(), kernelThread);
        QCOMPARE(stat.isZombie(), zombie);
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("vanished while read: empty") << QByteArray();
        QTest::newRow("cut short before the start time")
            << Sleeper.left(Sleeper.indexOf(" 230791"));
        QTest::newRow("no closing bracket") << QByteArray("25666 (sleep S 1 2 3");
        QTest::newRow("no pid") << Sleeper.mid(Sleeper.indexOf('('));
        QTest::newRow("pid not a number") << QByteArray("x") + Sleeper;
        QTest::newRow("parent not a number") << QByteArray(Sleeper).replace(" S 1 ", " S a ");
        QTest::newRow("start time past 64 bits")
            << QByteArray(Sleeper).replace(" 230791 ", " 99999999999999999999 ");
    }
    void refused()
    {
        QFETCH(QByteArray, text);
        ProcStat stat;
        stat.pid = 77;
        QVERIFY(!ProcStat::parse(text, &stat));
        QCOMPARE(stat.pid, 77u); // untouched
    }

    void displayName()
    {
        ProcStat stat;
        QVERIFY(ProcStat::parse(named("caf\xc3\xa9 | x"), &stat));
        QCOMPARE(stat.displayName(), QString::fromUtf8("caf\xc3\xa9 | x"));
    }
};

QTEST_GUILESS_MAIN(TestProcStat)
#include "tst_procstat.moc"
