#include "sockets/sockettableview.h"
#include "sockets/wintcpsocket.h"
#include "sockets/winudpsocket.h"

#include <QtTest>

class TestSocketTableView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void closingNeedsATcpSocket()
    {
        SocketTableView view;
        QVERIFY(!view.socket());
        QVERIFY(!view.closeSocket());
        WinUDPSocket udp;
        view.setSocket(&udp);
        QVERIFY(!view.closeSocket());
    }

    void closingIsNotOfferedToThisProgram()
    {
        SocketTableView view;
        auto *tcp = new WinTCPSocket(&view);
        tcp->setEndpoints(0x0100007f, 41973, 0x0100007f, 8080);
        QCOMPARE(tcp->localPort(), quint16(41973));
        QCOMPARE(tcp->remoteAddress(), quint32(0x0100007f));
        view.setSocket(tcp);
        QTest::ignoreMessage(QtWarningMsg,
                             "SYSTEM API Error for 'SetTcpEntry()' [1]: 'Operation not permitted'");
        QVERIFY(!view.closeSocket());
        // A socket object that goes away is not held on to.
        delete tcp;
        QVERIFY(!view.socket());
        QVERIFY(!view.closeSocket());
    }
};

QTEST_MAIN(TestSocketTableView)
#include "tst_sockettableview.moc"
