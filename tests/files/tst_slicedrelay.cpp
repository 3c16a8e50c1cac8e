#include "files/slicedrelay.h"
#include "testenvironment.h"

#include <QtTest>

#include <memory>

class TestSlicedRelay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void callsFromWorkersRunInOrderOnTheRelayThread()
    {
        constexpr int Producers = 3;
        constexpr int CallsEach = 20000;
        SlicedRelay relay;
        QList<QList<int>> seen(Producers);
        int offThread = 0;
        std::vector<std::unique_ptr<QThread>> producers;
        for (int p = 0; p < Producers; ++p) {
            producers.emplace_back(QThread::create([&relay, &seen, &offThread, p] {
                for (int i = 0; i < CallsEach; ++i)
                    relay.post([&seen, &offThread, p, i] {
                        if (QThread::currentThread() != QCoreApplication::instance()->thread())
                            ++offThread;
                        seen[p].append(i);
                    });
            }));
            producers.back()->start();
        }
        for (auto &producer : producers)
            QVERIFY(producer->wait(30000));
        QTRY_COMPARE_WITH_TIMEOUT(seen[0].size() + seen[1].size() + seen[2].size(),
                                  Producers * CallsEach, 30000);
        QCOMPARE(offThread, 0);
        for (const QList<int> &calls : seen) {
            for (int i = 0; i < CallsEach; ++i)
                QCOMPARE(calls.at(i), i);
        }
    }

    void theEventLoopRunsBetweenSlices()
    {
        // 300 calls of 1 ms each are 15 slices' worth: a timer must fire
        // between them instead of waiting for the whole batch.
        SlicedRelay relay;
        int ticks = 0;
        QTimer ticker;
        ticker.setInterval(0);
        connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
        QSet<int> ticksSeenByCalls;
        int done = 0;
        for (int i = 0; i < 300; ++i)
            relay.post([&] {
                QElapsedTimer busy;
                busy.start();
                while (busy.elapsed() < 1) {
                }
                ticksSeenByCalls.insert(ticks);
                ++done;
            });
        ticker.start();
        QTRY_COMPARE_WITH_TIMEOUT(done, 300, 30000);
        // Each slice holds at most SliceMs + 1 calls of >= 1 ms each.
        QVERIFY2(ticksSeenByCalls.size() >= 300 / (SlicedRelay::SliceMs + 1),
                 qPrintable(QString::number(ticksSeenByCalls.size())));
    }

    void aNestedEventLoopDoesNotReorderCalls()
    {
        SlicedRelay relay;
        QStringList order;
        relay.post([&order] {
            order << QStringLiteral("dialog opens");
            QEventLoop dialog;
            QTimer::singleShot(50, &dialog, &QEventLoop::quit);
            dialog.exec();
            order << QStringLiteral("dialog closes");
        });
        relay.post([&order] { order << QStringLiteral("second"); });
        QTimer::singleShot(10, this, [&relay, &order] {
            relay.post([&order] { order << QStringLiteral("posted during the dialog"); });
        });
        QTRY_COMPARE(order.size(), 4);
        QCOMPARE(order, QStringList({QStringLiteral("dialog opens"),
                                     QStringLiteral("dialog closes"), QStringLiteral("second"),
                                     QStringLiteral("posted during the dialog")}));
    }

    void aCallMayDeleteTheRelay()
    {
        auto *relay = new SlicedRelay;
        QPointer<SlicedRelay> watch(relay);
        int after = 0;
        relay->post([relay] { delete relay; });
        relay->post([&after] { ++after; });
        QTRY_VERIFY(watch.isNull());
        // A later turn would touch freed memory; the sanitizers would tell.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(after, 0);
    }

    void postsAfterAnIdleSpellAreRun()
    {
        SlicedRelay relay;
        int runs = 0;
        relay.post([&runs] { ++runs; });
        QTRY_COMPARE(runs, 1);
        relay.post([&runs] { ++runs; });
        QTRY_COMPARE(runs, 2);
    }
};

QTEST_GUILESS_MAIN(TestSlicedRelay)
#include "tst_slicedrelay.moc"
