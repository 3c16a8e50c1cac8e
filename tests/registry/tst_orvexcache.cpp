#include "platform/clock.h"
#include "registry/orvexcache.h"
#include "registry/orvexresponse.h"
#include "testenvironment.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QScopeGuard>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

namespace {
OrvexResponse *makeResponse(uint lastSeen, int rate)
{
    auto *response = new OrvexResponse;
    response->setResponse(lastSeen, rate);
    return response;
}

void purge(OrvexCache &cache)
{
    QVERIFY(QMetaObject::invokeMethod(&cache, "purgeOld", Qt::DirectConnection));
}
} // namespace

class TestOrvexCache : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void cleanup() { Clock::resetTestSeam(); }

    void storesCopiesOutAndReplaces()
    {
        OrvexCache cache;
        QVERIFY(!cache.response("a"));

        QPointer<OrvexResponse> first = makeResponse(100, 12);
        cache.insert("a", first);
        uint lastSeen = 0;
        int rate = 0;
        uint storedAt = 0;
        QVERIFY(cache.response("a", &lastSeen, &rate, &storedAt));
        QCOMPARE(lastSeen, 100u);
        QCOMPARE(rate, 12);
        QCOMPARE(storedAt, first->storedAt());
        QVERIFY(!cache.response("b"));

        cache.insert("a", makeResponse(200, -1));
        QVERIFY(first.isNull()); // the older answer is deleted
        QVERIFY(cache.response("a", &lastSeen, &rate));
        QCOMPARE(lastSeen, 200u);
        QCOMPARE(rate, -1);

        cache.insert("b", nullptr); // nothing to store
        QVERIFY(!cache.response("b"));
    }

    void destructionDeletesTheAnswers()
    {
        QPointer<OrvexResponse> response = makeResponse(1, 0);
        {
            OrvexCache cache;
            cache.insert("a", response);
            QTest::ignoreMessage(QtDebugMsg, "OrvexCache::~OrvexCache() called");
        }
        QVERIFY(response.isNull());
    }

    void entriesLiveOneHourThenGoAtTheNextTick()
    {
        OrvexCache cache;
        cache.insert("old", makeResponse(1, 5));
        uint storedAt = 0;
        QVERIFY(cache.response("old", nullptr, nullptr, &storedAt));

        // Place "now" exactly at stored + 3600 and purge, retrying should the real
        // clock cross a second meanwhile.
        qint64 real = 0;
        do {
            real = QDateTime::currentSecsSinceEpoch();
            Clock::setTestTimeOffset(qint64(storedAt) + OrvexCache::maxAge - real);
            purge(cache);
        } while (QDateTime::currentSecsSinceEpoch() != real);
        QVERIFY(cache.response("old"));

        cache.insert("fresh", makeResponse(2, 0)); // stored at t + 3600
        Clock::advanceTestTime(1);
        QTest::ignoreMessage(QtDebugMsg,
                             "OrvexCache::purgeOld() purging item 'old' from the cache.");
        QTRY_VERIFY_WITH_TIMEOUT(!cache.response("old"), 3000); // the 1 s timer's own tick
        QVERIFY(cache.response("fresh"));
    }

    void safeUnderConcurrentUse()
    {
        // Handler threads insert and read while the owner's timer purges.
        OrvexCache cache;
        std::atomic<bool> failed{false};
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back(QThread::create([&cache, &failed, t] {
                for (int i = 0; i < 20000; ++i) {
                    const QString digest = QString::number((i * 7 + t) % 500);
                    cache.insert(digest, makeResponse(uint(i), i % 100));
                    int rate = -2;
                    uint lastSeen = 0;
                    if (cache.response(QString::number(i % 500), &lastSeen, &rate) &&
                        (rate < 0 || rate >= 100 || int(lastSeen % 100) != rate))
                        failed = true;
                }
            }));
            threads.back()->start();
        }
        // A purge may find the cache empty (the threads have not inserted yet,
        // or are done), so whether it logs is up to the threads' timing.
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        const auto restoreLogging =
            qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
        int purges = 0;
        while (std::any_of(threads.begin(), threads.end(),
                           [](const auto &thread) { return thread->isRunning(); })) {
            Clock::advanceTestTime(OrvexCache::maxAge + 1); // everything is old
            purge(cache);
            ++purges;
            QTest::qWait(1);
        }
        for (auto &thread : threads)
            QVERIFY(thread->wait(30000));
        QVERIFY(!failed);
        QVERIFY(purges > 0);
    }
};

QTEST_GUILESS_MAIN(TestOrvexCache)
#include "tst_orvexcache.moc"
