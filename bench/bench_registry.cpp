// Time from sendQuery() of N digests to the last published result, against the
// local test registry. The handler's designed waits (the one-second pause before
// a pass and the 2 s of silence that end an answer) are shown apart from the
// handler's own cost; a second run with the waits divided by 1000 cross-checks
// that cost.
#include "platform/clock.h"
#include "registry/orvexcache.h"
#include "registry/orvexhandler.h"
#include "registrytestserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace {
constexpr int kDesignedWaitsMs = 1000 + 2000;

QString digestNumber(int n)
{
    return QStringLiteral("%1").arg(n, 32, 16, QLatin1Char('0'));
}

// Milliseconds from sendQuery to the last result, or -1 when results are missing.
qint64 timeOneQuery(RegistryTestServer &server, const QList<QString> &digests)
{
    OrvexCache cache;
    OrvexHandler handler(&cache);
    std::atomic<int> published{0};
    std::atomic<qint64> lastAt{-1};
    QElapsedTimer timer;
    QObject::connect(
        &handler, &OrvexHandler::setOrvexDataPacked, &handler,
        [&](const QString &) {
            published.fetch_add(1);
            lastAt.store(timer.elapsed());
        },
        Qt::DirectConnection);
    const int before = server.requestCount();
    timer.start();
    handler.sendQuery(digests);
    handler.wait();
    if (published.load() != digests.size() || server.requestCount() != before + 1)
        return -1;
    return lastAt.load();
}

qint64 median(QList<qint64> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    RegistryTestServer server;
    if (!server.listen()) {
        std::fprintf(stderr, "cannot start the test registry\n");
        return 1;
    }
    qputenv("WINORVEX_REGISTRY", server.address());

    const QList<int> sizes = {100, 10000, 100000};
    for (int i = 0; i < sizes.last(); ++i)
        server.setAnswer(digestNumber(i), 1275400000u + uint(i), i % 101);

    QTextStream out(stdout);
    out << "registry query: sendQuery(N digests) -> last setOrvexDataPacked, median of 3 runs\n";
    out << "                 N | total ms | designed pause+tail ms | own cost ms | waits/1000: "
           "total ms"
           " | own cost per digest us\n";
    out << "-------------------+----------+------------------------+-------------+-----------------"
           "--"
           "--+-----------------------\n";
    for (int size : sizes) {
        QList<QString> digests;
        digests.reserve(size);
        for (int i = 0; i < size; ++i)
            digests.append(digestNumber(i));

        QList<qint64> designed;
        QList<qint64> divided;
        for (int run = 0; run < 3; ++run) {
            Clock::resetTestSeam();
            designed.append(timeOneQuery(server, digests));
            Clock::setTestWaitDivisor(1000);
            divided.append(timeOneQuery(server, digests));
        }
        Clock::resetTestSeam();
        if (designed.contains(-1) || divided.contains(-1)) {
            out << "N=" << size << ": results missing\n";
            return 1;
        }
        const qint64 total = median(designed);
        const qint64 own = total - kDesignedWaitsMs;
        out << QStringLiteral("%1 | %2 | %3 | %4 | %5 | %6\n")
                   .arg(size, 18)
                   .arg(total, 8)
                   .arg(kDesignedWaitsMs, 22)
                   .arg(own, 11)
                   .arg(median(divided), 19)
                   .arg(double(own) * 1000.0 / size, 21, 'f', 1);
        out.flush();
    }
    return 0;
}
