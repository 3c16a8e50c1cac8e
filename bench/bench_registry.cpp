// Time from sendQuery() of N digests to the last published result, against the
// local test registry. The handler's designed waits (the one-second pause before
// a pass and the 2 s of silence that end an answer) are shown apart from the
// handler's own cost (which includes the local server building its answer).
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
// The pass's one-second pause and the 2 s of silence that end an answer.
constexpr int kPauseMs = 1000;
constexpr int kTailMs = 2000;

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
    out << "       N | total ms | pause ms | tail wait ms | own cost ms | own cost per digest us\n";
    out << "---------+----------+----------+--------------+-------------+-----------------------\n";
    for (int size : sizes) {
        QList<QString> digests;
        digests.reserve(size);
        for (int i = 0; i < size; ++i)
            digests.append(digestNumber(i));

        QList<qint64> totals;
        for (int run = 0; run < 3; ++run)
            totals.append(timeOneQuery(server, digests));
        if (totals.contains(-1)) {
            out << "N=" << size << ": results missing or asked more than once\n";
            return 1;
        }
        const qint64 total = median(totals);
        const qint64 own = total - kPauseMs - kTailMs;
        out << QStringLiteral("%1 | %2 | %3 | %4 | %5 | %6\n")
                   .arg(size, 8)
                   .arg(total, 8)
                   .arg(kPauseMs, 8)
                   .arg(kTailMs, 12)
                   .arg(own, 11)
                   .arg(double(own) * 1000.0 / size, 22, 'f', 1);
        out.flush();
    }
    return 0;
}
