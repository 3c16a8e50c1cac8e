#include "platform/netsockettable.h"

#include <QtTest>

// /proc/net/tcp and /proc/net/udp text captured on a little-endian machine.
namespace {
const QByteArray Tcp =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode                                                     \n"
    "   0: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
    "1333 1 000000004f90d5b3 100 0 0 10 0                      \n"
    "   1: 0100007F:A3F5 0100007F:1F90 01 00000000:00000000 02:000A7D83 00000000  1000        0 "
    "48812 2 0000000012345678 20 4 30 10 -1                     \n"
    "   2: 0F02000A:D2A4 22D8B85D:01BB 06 00000000:00000000 03:00001770 00000000     0        0 0 "
    "3 00000000deadbeef                                        \n"
    "   3: 0100007F:1F90 00000000:0000 0C 00000000:00000000 00:00000000 00000000     0        0 "
    "77 1 00000000cafebabe 100 0 0 10 0\n"
    "  bad line\n";
const QByteArray Udp =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode ref pointer drops            \n"
    "  612: 3500007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000   101        0 "
    "16384 2 000000009a1b2c3d 0        \n"
    " 1181: 00000000:0044 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
    "20021 2 000000009a1b2c3e 0";
} // namespace

class TestNetSocketTable : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (QSysInfo::ByteOrder != QSysInfo::LittleEndian)
            QSKIP("the captured tables come from a little-endian machine");
    }

    void parsesTables_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("endpoints");
        QTest::newRow("tcp") << Tcp
                             << QStringList{"0.0.0.0:2024 0.0.0.0:0 state 10 inode 1333",
                                            "127.0.0.1:41973 127.0.0.1:8080 state 1 inode 48812",
                                            "10.0.2.15:53924 93.184.216.34:443 state 6 inode 0",
                                            "127.0.0.1:8080 0.0.0.0:0 state 12 inode 77"};
        QTest::newRow("udp") << Udp
                             << QStringList{"127.0.0.53:53 0.0.0.0:0 state 7 inode 16384",
                                            "0.0.0.0:68 0.0.0.0:0 state 7 inode 20021"};
        QTest::newRow("heading only") << Tcp.left(Tcp.indexOf('\n') + 1) << QStringList();
        QTest::newRow("empty") << QByteArray() << QStringList();
    }
    void parsesTables()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, endpoints);
        QStringList found;
        for (const NetSocket &socket : NetSocketTable::parse(text))
            found.append(QStringLiteral("%1:%2 %3:%4 state %5 inode %6")
                             .arg(NetSocketTable::addressText(socket.localAddress))
                             .arg(socket.localPort)
                             .arg(NetSocketTable::addressText(socket.remoteAddress))
                             .arg(socket.remotePort)
                             .arg(socket.state)
                             .arg(socket.inode));
        QCOMPARE(found, endpoints);
    }

    void tableStates_data()
    {
        QTest::addColumn<int>("kernel");
        QTest::addColumn<int>("table");
        QTest::newRow("ESTABLISHED") << 1 << 5;
        QTest::newRow("SYN_SENT") << 2 << 3;
        QTest::newRow("SYN_RECV") << 3 << 4;
        QTest::newRow("FIN_WAIT1") << 4 << 6;
        QTest::newRow("FIN_WAIT2") << 5 << 7;
        QTest::newRow("TIME_WAIT") << 6 << 11;
        QTest::newRow("CLOSE") << 7 << 1;
        QTest::newRow("CLOSE_WAIT") << 8 << 8;
        QTest::newRow("LAST_ACK") << 9 << 10;
        QTest::newRow("LISTEN") << 10 << 2;
        QTest::newRow("CLOSING") << 11 << 9;
        QTest::newRow("NEW_SYN_RECV") << 12 << 4;
        QTest::newRow("unknown") << 13 << 0;
        QTest::newRow("none") << 0 << 0;
        QTest::newRow("negative") << -1 << 0;
    }
    void tableStates()
    {
        QFETCH(int, kernel);
        QFETCH(int, table);
        QCOMPARE(NetSocketTable::tableState(kernel), table);
    }

    void readsTheMachinesTables()
    {
        QList<NetSocket> tcp;
        QList<NetSocket> udp;
        QVERIFY(NetSocketTable::readTcp(&tcp));
        QVERIFY(NetSocketTable::readUdp(&udp));
        QList<NetSocket> none;
        QVERIFY(!NetSocketTable::readTcp(&none, "/nonexistent-proc"));
        QVERIFY(none.isEmpty());
    }

    void closingIsNotOffered() { QCOMPARE(NetSocketTable::closeTcpConnection(NetSocket()), EPERM); }
};

QTEST_GUILESS_MAIN(TestNetSocketTable)
#include "tst_netsockettable.moc"
