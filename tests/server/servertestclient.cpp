#include "servertestclient.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>

namespace ServerTestClient {

QByteArray header()
{
    return QByteArrayLiteral("4c9e1d7a02b85f36e1a7c04d9b28f5e3\n"
                             "0f1e2d3c4b5a69788796a5b4c3d2e1f0\n"
                             "a87ff679a2f3e71d9181a67b7542122c\n");
}

QByteArray registryRequest(const QList<QByteArray> &digests)
{
    QByteArray request = QByteArrayLiteral("begin\n") + header();
    for (const QByteArray &digest : digests)
        request += digest + '\n';
    return request + QByteArrayLiteral("end\n");
}

QByteArray digest(int seed)
{
    return QCryptographicHash::hash(QByteArray::number(seed), QCryptographicHash::Md5).toHex();
}

bool spinUntil(const std::function<bool()> &predicate, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // a turn at least this often, whatever else happens
    wake.start(20);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

bool connectTo(QTcpSocket &socket, quint16 port, int timeoutMs)
{
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    return QTest::qWaitFor(
               [&] {
                   return socket.state() == QAbstractSocket::ConnectedState ||
                          socket.state() == QAbstractSocket::UnconnectedState;
               },
               timeoutMs) &&
           socket.state() == QAbstractSocket::ConnectedState;
}

QByteArray readLines(QTcpSocket &socket, int lines, int timeoutMs)
{
    QByteArray data;
    auto take = [&] {
        if (socket.isOpen())
            data += socket.readAll();
    };
    // Running out of time is not an error here: the caller compares what came.
    [[maybe_unused]] const bool complete = QTest::qWaitFor(
        [&] {
            take();
            return data.count('\n') >= lines || socket.state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
    take();
    return data;
}

bool waitForClosed(QTcpSocket &socket, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            if (socket.isOpen())
                socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
}

QByteArray exchange(quint16 port, const QByteArray &request, int lines, int timeoutMs)
{
    QTcpSocket socket;
    if (!connectTo(socket, port, timeoutMs))
        return QByteArray();
    socket.write(request);
    return readLines(socket, lines, timeoutMs);
}

bool sendAndClose(quint16 port, const QByteArray &data, int timeoutMs)
{
    QTcpSocket socket;
    if (!connectTo(socket, port, timeoutMs))
        return false;
    socket.write(data);
    if (!QTest::qWaitFor([&] { return socket.bytesToWrite() == 0; }, timeoutMs))
        return false;
    socket.disconnectFromHost();
    return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; },
                           timeoutMs);
}

QByteArray readUntilClosed(QTcpSocket &socket, int timeoutMs)
{
    QByteArray data;
    auto take = [&] {
        if (socket.isOpen())
            data += socket.readAll();
    };
    [[maybe_unused]] const bool closed = spinUntil(
        [&] {
            take();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
    take();
    return data;
}

bool shutdownSending(QTcpSocket &socket)
{
    return ::shutdown(static_cast<int>(socket.socketDescriptor()), SHUT_WR) == 0;
}

bool resetOnClose(QTcpSocket &socket)
{
    const linger immediately{1, 0};
    return ::setsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER,
                        &immediately, sizeof immediately) == 0;
}

QList<QByteArray> records(const QByteArray &answer)
{
    QList<QByteArray> lines = answer.split('\n');
    if (!lines.isEmpty())
        lines.removeFirst();
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace ServerTestClient
