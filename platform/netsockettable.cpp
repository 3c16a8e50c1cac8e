#include "platform/netsockettable.h"

#include "platform/kerneltext.h"

#include <QFile>

#include <cerrno>
#include <cstring>

namespace {
bool readHex(const char *&at, const char *end, quint64 *value, int maxDigits)
{
    quint64 result = 0;
    int digits = 0;
    for (; at != end && digits <= maxDigits; ++at, ++digits) {
        const char c = *at;
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        result = result << 4 | quint64(digit);
    }
    *value = result;
    return digits > 0 && digits <= maxDigits;
}

bool readDecimal(const char *&at, const char *end, quint64 *value)
{
    quint64 result = 0;
    const char *begin = at;
    for (; at != end && *at >= '0' && *at <= '9'; ++at) {
        const quint64 digit = quint64(*at - '0');
        if (result > (~quint64(0) - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    *value = result;
    return at != begin;
}

void skipBlanks(const char *&at, const char *end)
{
    while (at != end && *at == ' ')
        ++at;
}

bool skipField(const char *&at, const char *end)
{
    skipBlanks(at, end);
    const char *begin = at;
    while (at != end && *at != ' ')
        ++at;
    return at != begin;
}

// "0100007F:1F90": the address as the kernel prints the 32-bit value it keeps
// in network byte order, then the port in host order.
bool readEndpoint(const char *&at, const char *end, quint32 *address, quint16 *port)
{
    skipBlanks(at, end);
    quint64 value = 0, portValue = 0;
    if (!readHex(at, end, &value, 8) || at == end || *at != ':')
        return false;
    ++at;
    if (!readHex(at, end, &portValue, 4))
        return false;
    *address = quint32(value);
    *port = quint16(portValue);
    return at == end || *at == ' ';
}

bool parseLine(const char *at, const char *end, NetSocket *socket)
{
    // "  12: "
    skipBlanks(at, end);
    quint64 slot = 0;
    if (!readDecimal(at, end, &slot) || at == end || *at != ':')
        return false;
    ++at;
    if (!readEndpoint(at, end, &socket->localAddress, &socket->localPort) ||
        !readEndpoint(at, end, &socket->remoteAddress, &socket->remotePort))
        return false;
    skipBlanks(at, end);
    quint64 state = 0;
    if (!readHex(at, end, &state, 2))
        return false;
    socket->state = int(state);
    // tx_queue:rx_queue tr:tm->when retrnsmt uid timeout, then the inode.
    for (int field = 0; field < 5; ++field) {
        if (!skipField(at, end))
            return false;
    }
    skipBlanks(at, end);
    quint64 inode = 0;
    if (!readDecimal(at, end, &inode))
        return false;
    socket->inode = inode;
    return true;
}

bool readTable(const QByteArray &path, QList<NetSocket> *sockets)
{
    sockets->clear();
    QByteArray text;
    if (!readKernelTextFile(QFile::decodeName(path), &text,
                            QStringLiteral("NetSocketTable read %1").arg(QFile::decodeName(path))))
        return false;
    *sockets = NetSocketTable::parse(text);
    return true;
}
} // namespace

QList<NetSocket> NetSocketTable::parse(const QByteArray &text)
{
    QList<NetSocket> sockets;
    const char *at = text.constData();
    const char *const end = at + text.size();
    bool heading = true;
    while (at != end) {
        const char *lineEnd = static_cast<const char *>(memchr(at, '\n', size_t(end - at)));
        if (!lineEnd)
            lineEnd = end;
        NetSocket socket;
        if (!heading && parseLine(at, lineEnd, &socket))
            sockets.append(socket);
        heading = false;
        at = lineEnd == end ? end : lineEnd + 1;
    }
    return sockets;
}

QString NetSocketTable::addressText(quint32 networkOrder)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return QStringLiteral("%1.%2.%3.%4").arg(bytes[0]).arg(bytes[1]).arg(bytes[2]).arg(bytes[3]);
}

int NetSocketTable::tableState(int kernelState)
{
    // Indexed by the kernel's TCP_ESTABLISHED (1) ... TCP_NEW_SYN_RECV (12); a
    // request not yet accepted is still a SYN received.
    static const int states[] = {0, 5, 3, 4, 6, 7, 11, 1, 8, 10, 2, 9, 4};
    if (kernelState < 0 || kernelState >= int(sizeof states / sizeof *states))
        return 0;
    return states[kernelState];
}

bool NetSocketTable::readTcp(QList<NetSocket> *sockets, const QByteArray &procRoot)
{
    return readTable(procRoot + "/net/tcp", sockets);
}

bool NetSocketTable::readUdp(QList<NetSocket> *sockets, const QByteArray &procRoot)
{
    return readTable(procRoot + "/net/udp", sockets);
}

int NetSocketTable::closeTcpConnection(const NetSocket &)
{
    // The kernel ends another process's connection only for a privileged
    // program (SOCK_DESTROY over sock_diag, where the kernel has it at all).
    return EPERM;
}
