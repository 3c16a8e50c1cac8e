// Answered digests per second of the reference registry, with 1, 10 and 50
// concurrent clients, then with 10 clients that must first displace trickling
// clients holding every connection place. The server runs event-driven in the
// main thread, as in winorvex-server; each client is a blocking QTcpSocket on
// its own thread that sends requests back to back and reads each whole answer
// before the next. Last, the most the server held in memory for a client that
// sends the largest request allowed and reads nothing for a while.
//
// Usage: bench_server [seconds per row, default 3] [digests per request, default 1000]

#include "server/hashlist.h"
#include "server/registryconnection.h"
#include "server/registryservice.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const QByteArray requestHeader =
    "begin\n4c9e1d7a02b85f36e1a7c04d9b28f5e3\n0f1e2d3c4b5a69788796a5b4c3d2e1f0\n"
    "a87ff679a2f3e71d9181a67b7542122c\n";

QByteArray digest(int seed)
{
    return QCryptographicHash::hash(QByteArray::number(seed), QCryptographicHash::Md5).toHex();
}

struct ClientResult
{
    qint64 requests = 0;
    qint64 digests = 0;
    bool failed = false;
};

void runClient(quint16 port, const QByteArray &request, int digestsPerRequest, qint64 durationMs,
               ClientResult *result)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(10000)) {
        result->failed = true;
        return;
    }
    QElapsedTimer timer;
    timer.start();
    const int expectedLines = digestsPerRequest + 1;
    while (timer.elapsed() < durationMs) {
        socket.write(request);
        int lines = 0;
        while (lines < expectedLines) {
            if (!socket.waitForReadyRead(10000)) {
                result->failed = true;
                return;
            }
            const QByteArray chunk = socket.readAll();
            lines += static_cast<int>(chunk.count('\n'));
        }
        ++result->requests;
        result->digests += digestsPerRequest;
    }
    socket.disconnectFromHost();
}

// Runs clientCount clients for the given time against the service, whose
// event loop runs here meanwhile; prints one row.
void runRow(RegistryService &service, int clientCount, int digestsPerRequest, int seconds,
            const char *label)
{
    std::vector<ClientResult> results(clientCount);
    std::vector<std::unique_ptr<QThread>> threads;
    std::atomic<int> running{clientCount};
    QElapsedTimer timer;
    timer.start();
    for (int c = 0; c < clientCount; ++c) {
        QByteArray request = requestHeader;
        for (int i = 0; i < digestsPerRequest; ++i)
            request += digest(c * digestsPerRequest + i) + '\n';
        request += "end\n";
        const quint16 port = service.serverPort();
        ClientResult *result = &results[c];
        threads.emplace_back(QThread::create([=, &running] {
            runClient(port, request, digestsPerRequest, seconds * 1000, result);
            if (--running == 0)
                QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        }));
        threads.back()->start();
    }
    QCoreApplication::exec();
    for (auto &thread : threads)
        thread->wait();
    const double elapsed = timer.elapsed() / 1000.0;

    qint64 requests = 0;
    qint64 digests = 0;
    bool failed = false;
    for (const ClientResult &result : results) {
        requests += result.requests;
        digests += result.digests;
        failed = failed || result.failed;
    }
    std::printf("%8d %10lld %12lld %10.2f %16.0f  %s%s\n", clientCount, requests, digests, elapsed,
                digests / elapsed, label, failed ? "  (a client failed)" : "");
    std::fflush(stdout);
}

// Runs the event loop for a while.
void spin(int ms)
{
    QTimer::singleShot(ms, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int seconds = args.size() > 1 ? qMax(1, args.at(1).toInt()) : 3;
    const int digestsPerRequest = args.size() > 2 ? qMax(1, args.at(2).toInt()) : 1000;

    // A list of 200,000 digests; half of every request is listed.
    HashList list;
    for (int i = 0; i < 400000; i += 2)
        list.insert(*Md5Key::fromHex(digest(i)), {i % 101, 1700000000 + i});

    const ServerLimits limits;
    RegistryService service{limits};
    service.setHashList(std::move(list));
    QString error;
    if (!service.listen(QHostAddress(QHostAddress::LocalHost), 0, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }

    std::printf("reference registry: %d digests per request, %d s per row, %d cores\n",
                digestsPerRequest, seconds, QThread::idealThreadCount());
    std::printf("%8s %10s %12s %10s %16s\n", "clients", "requests", "digests", "seconds",
                "digests/second");
    for (const int clientCount : {1, 10, 50})
        runRow(service, clientCount, digestsPerRequest, seconds, "");

    // Every place held by a client that sends a byte every 100 ms and never
    // completes a request; each real client displaces one.
    spin(200); // the last row's connections close first
    std::vector<std::unique_ptr<QTcpSocket>> tricklers;
    for (int i = 0; i < limits.maxConnections; ++i) {
        tricklers.push_back(std::make_unique<QTcpSocket>());
        tricklers.back()->connectToHost(QHostAddress(QHostAddress::LocalHost),
                                        service.serverPort());
    }
    QTimer drip;
    QObject::connect(&drip, &QTimer::timeout, [&] {
        for (auto &socket : tricklers) {
            if (socket->state() == QAbstractSocket::ConnectedState)
                socket->write("b", 1);
        }
    });
    drip.start(100);
    spin(limits.displaceAfterMs + 500);
    const int held = service.connectionCount();
    runRow(service, 10, digestsPerRequest, seconds,
           qPrintable(QStringLiteral("with %1 trickling clients holding every place").arg(held)));
    drip.stop();
    tricklers.clear();
    spin(200);

    // The largest request allowed, from a client that reads nothing until the
    // server has stopped answering it.
    QByteArray request = requestHeader;
    for (int i = 0; i < limits.maxDigests; ++i)
        request += digest(i % 100000) + '\n';
    request += "end\n";
    const qint64 receivedBefore = service.bytesReceived();
    QTcpSocket greedy;
    greedy.setReadBufferSize(4096);
    greedy.connectToHost(QHostAddress(QHostAddress::LocalHost), service.serverPort());
    greedy.write(request);
    QElapsedTimer timer;
    timer.start();
    while (service.bytesToWrite() < RegistryConnection::answerQueueLimit && timer.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const qint64 peakWhileStalled = service.peakHeldBytes();
    const qint64 takenWhileStalled = service.bytesReceived() - receivedBefore;
    greedy.setReadBufferSize(0);
    qint64 answerLines = 0;
    while (answerLines < limits.maxDigests + 1 && timer.elapsed() < 120000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        answerLines += greedy.readAll().count('\n');
    }
    std::printf("\na client of %d digests (%.1f MB) that does not read: the server took in "
                "%.1f MB of it, held at most %lld KiB (bound %lld KiB); %lld answer lines in "
                "the end\n",
                limits.maxDigests, request.size() / 1e6, takenWhileStalled / 1e6,
                qMax(peakWhileStalled, service.peakHeldBytes()) / 1024,
                RegistryConnection::memoryBound(limits) / 1024, answerLines);
    return 0;
}
