#include "platform/netsockettable.h"
#include "platform/socketowners.h"
#include "platform/uniquefd.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {
// A socket of this process bound to 127.0.0.1; its inode.
quint64 boundSocket(int type, UniqueFd *fd)
{
    fd->reset(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!fd->isValid())
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd->get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return 0;
    struct stat st;
    if (::fstat(fd->get(), &st) != 0)
        return 0;
    return quint64(st.st_ino);
}
} // namespace

class TestSocketOwners : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void socketLinks_data()
    {
        QTest::addColumn<QByteArray>("link");
        QTest::addColumn<bool>("socket");
        QTest::addColumn<quint64>("inode");
        QTest::newRow("socket") << QByteArray("socket:[48812]") << true << quint64(48812);
        QTest::newRow("pipe") << QByteArray("pipe:[48812]") << false << quint64(0);
        QTest::newRow("file") << QByteArray("/tmp/socket:[1]") << false << quint64(0);
        QTest::newRow("no number") << QByteArray("socket:[]") << false << quint64(0);
        QTest::newRow("not closed") << QByteArray("socket:[12") << false << quint64(0);
        QTest::newRow("letters") << QByteArray("socket:[1a]") << false << quint64(0);
        QTest::newRow("too large")
            << QByteArray("socket:[99999999999999999999]") << false << quint64(0);
    }
    void socketLinks()
    {
        QFETCH(QByteArray, link);
        QFETCH(bool, socket);
        QFETCH(quint64, inode);
        quint64 found = 0;
        QCOMPARE(SocketOwners::socketInode(link.constData(), link.size(), &found), socket);
        if (socket)
            QCOMPARE(found, inode);
    }

    void ownersAreLookedUpOnce()
    {
        UniqueFd tcp, udp;
        const quint64 tcpInode = boundSocket(SOCK_STREAM, &tcp);
        const quint64 udpInode = boundSocket(SOCK_DGRAM, &udp);
        QVERIFY(tcpInode && udpInode);
        const quint32 self = quint32(QCoreApplication::applicationPid());

        SocketOwners owners;
        owners.update({tcpInode});
        QCOMPARE(owners.sweeps(), 1);
        QCOMPARE(owners.owner(tcpInode), self);

        // Seen before: no pass over the descriptors, also with more to ask.
        owners.update({tcpInode, 0});
        QCOMPARE(owners.sweeps(), 1);
        // Only the new one is looked for.
        owners.update({tcpInode, udpInode});
        QCOMPARE(owners.sweeps(), 2);
        QCOMPARE(owners.owner(udpInode), self);

        // Held by nobody this program can see: 0, and not looked for again.
        const quint64 nobodys = udpInode + 1000000007;
        owners.update({tcpInode, udpInode, nobodys});
        QCOMPARE(owners.sweeps(), 3);
        QCOMPARE(owners.owner(nobodys), 0u);
        owners.update({tcpInode, udpInode, nobodys});
        QCOMPARE(owners.sweeps(), 3);

        // A socket that closed is forgotten; its inode may come back for another.
        owners.update({udpInode});
        owners.update({udpInode, tcpInode});
        QCOMPARE(owners.sweeps(), 4);
        QCOMPARE(owners.owner(tcpInode), self);
    }
};

QTEST_GUILESS_MAIN(TestSocketOwners)
#include "tst_socketowners.moc"
