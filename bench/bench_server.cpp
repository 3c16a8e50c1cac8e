// Answered digests per second of the reference registry, with 1, 10 and 50
// concurrent clients. The server runs event-driven in the main thread, as in
// winorvex-server; each client is a blocking QTcpSocket on its own thread that
// sends requests back to back and reads each whole answer before the next.
//
// Usage: bench_server [seconds per row, default 3] [digests per request, default 1000]

#include "server/hashlist.h"
#include "server/registryservice.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

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

    RegistryService service{ServerLimits()};
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

    for (const int clientCount : {1, 10, 50}) {
        std::vector<ClientResult> results(clientCount);
        std::vector<std::unique_ptr<QThread>> threads;
        std::atomic<int> running{clientCount};
        QElapsedTimer timer;
        timer.start();
        for (int c = 0; c < clientCount; ++c) {
            QByteArray request =
                "begin\n4c9e1d7a02b85f36e1a7c04d9b28f5e3\n" + digest(-1) + '\n' + digest(-2) + '\n';
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
        std::printf("%8d %10lld %12lld %10.2f %16.0f%s\n", clientCount, requests, digests, elapsed,
                    digests / elapsed, failed ? "  (a client failed)" : "");
        std::fflush(stdout);
    }
    return 0;
}
