#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class QTcpSocket;

// Small client-side helpers shared by the server tests. Every wait spins the
// event loop, so the server may live in the test's own thread.
namespace ServerTestClient {

// The fixed client token and two well-formed header digests.
QByteArray header();
// A whole registry request for the digests.
QByteArray registryRequest(const QList<QByteArray> &digests);
// A lower-case digest that differs for every seed.
QByteArray digest(int seed);

// Runs the event loop until the predicate holds or the bound has passed.
// Unlike QTest::qWaitFor it does not sleep between turns, so a server in this
// thread moves large answers at full speed.
bool spinUntil(const std::function<bool()> &predicate, int timeoutMs = 10000);

// Connects to 127.0.0.1:port; false when that fails within the bound.
bool connectTo(QTcpSocket &socket, quint16 port, int timeoutMs = 5000);
// Reads until at least `lines` complete lines have arrived, the peer has
// closed, or the bound has passed; returns everything read.
QByteArray readLines(QTcpSocket &socket, int lines, int timeoutMs = 10000);
// Waits until the peer has closed the connection.
bool waitForClosed(QTcpSocket &socket, int timeoutMs = 10000);
// Sends one whole exchange (connect, write, read `lines` lines).
QByteArray exchange(quint16 port, const QByteArray &request, int lines, int timeoutMs = 10000);
// Connects, writes, and closes cleanly once everything is written.
bool sendAndClose(quint16 port, const QByteArray &data, int timeoutMs = 10000);

// Reads until the peer has closed the connection (or the bound has passed);
// returns everything read.
QByteArray readUntilClosed(QTcpSocket &socket, int timeoutMs = 10000);
// Ends the sending side only (shutdown(SHUT_WR)): the peer sees the end of
// the request while this side can still read the answer.
bool shutdownSending(QTcpSocket &socket);
// Makes the next close reset the connection (SO_LINGER 0) instead of ending it
// in an orderly way.
bool resetOnClose(QTcpSocket &socket);

// The answer records "<digest> <last-seen> <rate>" after the header line.
QList<QByteArray> records(const QByteArray &answer);

} // namespace ServerTestClient
