#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

// One IPv4 endpoint of the kernel's socket tables (/proc/net/tcp, /proc/net/udp).
struct NetSocket
{
    // Addresses as the kernel keeps them, in network byte order; ports in host order.
    quint32 localAddress = 0;
    quint16 localPort = 0;
    quint32 remoteAddress = 0;
    quint16 remotePort = 0;
    // The kernel's state number (TCP_ESTABLISHED 1 ... TCP_CLOSING 11).
    int state = 0;
    // The socket's inode: what /proc/<pid>/fd/<n> links to as "socket:[<inode>]".
    // 0 for a connection no descriptor holds any more (TIME_WAIT).
    quint64 inode = 0;
};

// The kernel's IPv4 TCP and UDP socket tables.
class NetSocketTable
{
public:
    // Parses the text of /proc/net/tcp or /proc/net/udp: a heading line, then
    // "sl: local rem st ... uid timeout inode ..." with hexadecimal addresses
    // and ports. Lines that do not parse are left out.
    static QList<NetSocket> parse(const QByteArray &text);

    // Dotted-quad text of an address in network byte order.
    static QString addressText(quint32 networkOrder);

    // The TCP state as the tables of this program number it: 1 closed,
    // 2 listening, 3 SYN sent, 4 SYN received, 5 established, 6 and 7 waiting
    // for FIN 1 and 2, 8 waiting for close, 9 closing, 10 last ACK, 11 waiting
    // for time-out. 0 for a number the kernel does not use.
    static int tableState(int kernelState);

    // The tables of this machine (of this program's network namespace), or
    // of a folder laid out like /proc. False (logged) when the file cannot be read.
    static bool readTcp(QList<NetSocket> *sockets, const QByteArray &procRoot = "/proc");
    static bool readUdp(QList<NetSocket> *sockets, const QByteArray &procRoot = "/proc");

    // Ends a TCP connection of any process. Linux offers no such call to a
    // program without privileges: 0 or an errno value (EPERM).
    static int closeTcpConnection(const NetSocket &connection);
};
