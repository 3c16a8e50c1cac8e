#include "sockets/winsocketfinder.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>

namespace {
QString self()
{
    return QString::number(QCoreApplication::applicationPid());
}

QList<QString> snapshot(WinSocketFinder &finder)
{
    QSignalSpy sockets(&finder, &WinSocketFinder::currentSockets);
    finder.start();
    // The spy hears the finder's thread directly; the thread ends right after.
    if (!finder.wait(30000) || sockets.isEmpty())
        return QList<QString>();
    return sockets.first().first().value<QList<QString>>();
}
} // namespace

class TestWinSocketFinder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void recordsOfCapturedTables()
    {
        if (QSysInfo::ByteOrder != QSysInfo::LittleEndian)
            QSKIP("the captured tables come from a little-endian machine");
        const QList<NetSocket> tcp = NetSocketTable::parse(
            "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid "
            " timeout inode\n"
            "   1: 0100007F:A3F5 0100007F:1F90 01 00000000:00000000 02:000A7D83 00000000  1000 "
            "       0 48812 2 0000000012345678 20 4 30 10 -1\n");
        const QList<NetSocket> udp = NetSocketTable::parse(
            "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid "
            " timeout inode ref pointer drops\n"
            "  612: 3500007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000   101 "
            "       0 16384 2 000000009a1b2c3d 0\n");
        // No process here holds them: owner 0.
        const SocketOwners owners;
        QCOMPARE(WinSocketFinder::tcpRecords(tcp, owners),
                 QList<QString>{QStringLiteral("0|TCP|127.0.0.1|8080|127.0.0.1|41973|5")});
        QCOMPARE(WinSocketFinder::udpRecords(udp, owners),
                 QList<QString>{QStringLiteral("0|UDP|||127.0.0.53|53|")});
    }

    void ownSocketsAreFound()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(client.waitForConnected(30000));
        QVERIFY(server.waitForNewConnection(30000));
        QTcpSocket *accepted = server.nextPendingConnection();
        QVERIFY(accepted);
        QUdpSocket udp;
        QVERIFY(udp.bind(QHostAddress::LocalHost, 0));

        WinSocketFinder finder;
        const QList<QString> records = snapshot(finder);
        const QString listener =
            QStringLiteral("%1|TCP|0.0.0.0|0|127.0.0.1|%2|2").arg(self()).arg(server.serverPort());
        const QString outgoing = QStringLiteral("%1|TCP|127.0.0.1|%2|127.0.0.1|%3|5")
                                     .arg(self())
                                     .arg(server.serverPort())
                                     .arg(client.localPort());
        const QString incoming = QStringLiteral("%1|TCP|127.0.0.1|%2|127.0.0.1|%3|5")
                                     .arg(self())
                                     .arg(client.localPort())
                                     .arg(server.serverPort());
        const QString datagrams =
            QStringLiteral("%1|UDP|||127.0.0.1|%2|").arg(self()).arg(udp.localPort());
        for (const QString &record : {listener, outgoing, incoming, datagrams})
            QVERIFY2(records.contains(record), qPrintable(record));
        // Every TCP record comes before every UDP record.
        qsizetype lastTcp = -1, firstUdp = records.size();
        for (qsizetype i = 0; i < records.size(); ++i) {
            if (records.at(i).section(u'|', 1, 1) == QLatin1String("TCP"))
                lastTcp = i;
            else if (firstUdp == records.size())
                firstUdp = i;
        }
        QVERIFY(lastTcp < firstUdp);

        // Owners already known are not looked for again. Other programs on
        // the machine open sockets meanwhile: a sweep is owed only to those.
        const int sweeps = finder.ownerSweeps();
        QVERIFY(sweeps >= 1);
        const QList<QString> again = snapshot(finder);
        QVERIFY(again.contains(listener));
        const bool othersOpened =
            std::any_of(again.cbegin(), again.cend(),
                        [&records](const QString &r) { return !records.contains(r); });
        if (!othersOpened)
            QCOMPARE(finder.ownerSweeps(), sweeps);
        const int before = finder.ownerSweeps();
        QUdpSocket later;
        QVERIFY(later.bind(QHostAddress::LocalHost, 0));
        QVERIFY(snapshot(finder).contains(
            QStringLiteral("%1|UDP|||127.0.0.1|%2|").arg(self()).arg(later.localPort())));
        QVERIFY(finder.ownerSweeps() > before);
    }
};

QTEST_GUILESS_MAIN(TestWinSocketFinder)
#include "tst_winsocketfinder.moc"
