#include "platform/clock.h"
#include "sockets/networkmanager.h"
#include "sockets/socketmodel.h"
#include "sockets/sockettableview.h"
#include "testenvironment.h"

#include <QHeaderView>
#include <QSortFilterProxyModel>
#include <QTcpServer>
#include <QUdpSocket>
#include <QtTest>

namespace {
QStringList shownPids(const QAbstractItemModel &model)
{
    QStringList pids;
    for (int row = 0; row < model.rowCount(); ++row)
        pids.append(model.data(model.index(row, SocketModel::PidColumn)).toString());
    return pids;
}
} // namespace

class TestNetworkManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void cleanup() { Clock::resetTestSeam(); }

    void builtSwitchedOff()
    {
        NetworkManager manager(nullptr);
        QCOMPARE(NetworkManager::PollIntervalMs, 100);
        QCOMPARE(manager.pollInterval(), 100);
        QVERIFY(!manager.isScanEnabled());
        const QSortFilterProxyModel &proxy = *manager.proxy();
        QCOMPARE(proxy.sourceModel(), manager.model());
        QVERIFY(proxy.dynamicSortFilter());
        QCOMPARE(proxy.sortRole(), int(Qt::UserRole));
        QCOMPARE(proxy.filterRole(), int(Qt::UserRole));
        QCOMPARE(proxy.filterKeyColumn(), 6);
        QCOMPARE(proxy.filterCaseSensitivity(), Qt::CaseInsensitive);
        QCOMPARE(proxy.sortCaseSensitivity(), Qt::CaseInsensitive);

        QSignalSpy enabled(&manager, &NetworkManager::socketScanEnabled);
        Clock::setTestWaitDivisor(10);
        manager.setScanEnabled(true);
        QVERIFY(manager.isScanEnabled());
        QCOMPARE(manager.pollInterval(), 10);
        manager.setScanEnabled(false);
        QVERIFY(!manager.isScanEnabled());
        QCOMPARE(enabled.size(), 2);
        QCOMPARE(enabled.at(0), QVariantList{true});
        QCOMPARE(enabled.at(1), QVariantList{false});
    }

    void snapshotsAppendNewRecordsOnce()
    {
        NetworkManager manager(nullptr);
        SocketTableView view;
        manager.setView(&view);
        QCOMPARE(view.model(), manager.proxy());
        QCOMPARE(view.horizontalHeader()->sortIndicatorSection(), 0);
        QCOMPARE(view.horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);

        QSignalSpy merged(&manager, &NetworkManager::socketsMerged);
        const QList<QString> first{"10|TCP|1.2.3.4|80|10.0.0.1|5000|3", "11|UDP|||0.0.0.0|68|"};
        // Two snapshots before the first is merged: each record is added once.
        manager.receiveSocketSnapshot(first);
        manager.receiveSocketSnapshot(first);
        QTRY_COMPARE_WITH_TIMEOUT(merged.size(), 2, 30000);
        QList<QString> added = manager.model()->sockets();
        std::sort(added.begin(), added.end());
        QCOMPARE(added, first);
        // A connection that changes state is a row more; one that closes keeps its row.
        manager.receiveSocketSnapshot({"10|TCP|1.2.3.4|80|10.0.0.1|5000|5"});
        QTRY_COMPARE_WITH_TIMEOUT(merged.size(), 3, 30000);
        QCOMPARE(manager.model()->rowCount(), 3);
        // Sorted by protocol, descending: UDP first.
        QCOMPARE(view.model()->data(view.model()->index(0, 0)).toString(), QStringLiteral("UDP"));
    }

    void filterShowsPidsHoldingTheDigits()
    {
        NetworkManager manager(nullptr);
        SocketTableView view;
        manager.setView(&view);
        QSignalSpy merged(&manager, &NetworkManager::socketsMerged);
        manager.receiveSocketSnapshot({"4|UDP|||0.0.0.0|1|", "40|UDP|||0.0.0.0|2|",
                                       "104|UDP|||0.0.0.0|3|", "1234|UDP|||0.0.0.0|4|",
                                       "5|UDP|||0.0.0.0|5|"});
        QVERIFY(merged.wait(30000));
        QCOMPARE(manager.proxy()->rowCount(), 5);
        manager.setFilterPID(4);
        QStringList pids = shownPids(*manager.proxy());
        pids.sort();
        QCOMPARE(pids, QStringList({"104", "1234", "4", "40"}));
        manager.setFilterPID(5);
        QCOMPARE(shownPids(*manager.proxy()), QStringList{"5"});
    }

    // A listening TCP socket and a UDP socket of this process, on 127.0.0.1
    // (IPv4: a dual-stack socket is listed among the IPv6 ones).
    void ownSocketsAreShown()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QUdpSocket udp;
        QVERIFY(udp.bind(QHostAddress::LocalHost, 0));
        const quint32 self = quint32(QCoreApplication::applicationPid());

        Clock::setTestWaitDivisor(10);
        NetworkManager manager(nullptr);
        SocketTableView view;
        manager.setView(&view);
        manager.setFilterPID(self);
        manager.setScanEnabled(true);
        const QString listener =
            QStringLiteral("%1|TCP|0.0.0.0|0|127.0.0.1|%2|2").arg(self).arg(server.serverPort());
        const QString datagrams =
            QStringLiteral("%1|UDP|||127.0.0.1|%2|").arg(self).arg(udp.localPort());
        QTRY_VERIFY_WITH_TIMEOUT(manager.model()->sockets().contains(listener) &&
                                     manager.model()->sockets().contains(datagrams),
                                 30000);
        manager.setScanEnabled(false);

        // Shown as the table shows them.
        const QAbstractItemModel &shown = *view.model();
        QStringList rows;
        for (int row = 0; row < shown.rowCount(); ++row) {
            QStringList cells;
            for (int column = 0; column < SocketModel::PidColumn + 1; ++column)
                cells.append(shown.data(shown.index(row, column)).toString());
            rows.append(cells.join(u' '));
        }
        QVERIFY2(rows.contains(QStringLiteral("TCP 127.0.0.1 %1 0.0.0.0 0 Listening %2")
                                   .arg(server.serverPort())
                                   .arg(self)),
                 qPrintable(rows.join(u'\n')));
        QVERIFY(
            rows.contains(QStringLiteral("UDP 127.0.0.1 %1    %2").arg(udp.localPort()).arg(self)));
    }
};

QTEST_MAIN(TestNetworkManager)
#include "tst_networkmanager.moc"
