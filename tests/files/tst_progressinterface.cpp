#include "files/processmodifier.h"
#include "testenvironment.h"

#include <QtTest>

namespace {
// A worker that does `units` units of work, polling the stop flag before each.
class CountingWorker : public ProgressInterface
{
public:
    int units = 0;
    int done = 0;
    QSemaphore *gate = nullptr; // lets the test hold the worker between units

protected:
    void run() override
    {
        reset();
        done = 0;
        for (int i = 0; i < units; ++i) {
            if (gate)
                gate->acquire();
            if (isStopRequested()) {
                Q_EMIT userStopped();
                return;
            }
            ++done;
            Q_EMIT progressValue(done);
        }
    }
};

class BaseRunWorker : public ProcessModifier
{
public:
    void callBaseRun() { ProgressInterface::run(); }
};
} // namespace

class TestProgressInterface : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void stopWhileIdleIsClearedByTheNextRun()
    {
        CountingWorker worker;
        worker.units = 5;
        worker.userRequestStop();
        worker.userRequestStop(); // twice is the same as once
        QVERIFY(worker.isStopRequested());
        QSignalSpy stopped(&worker, &ProgressInterface::userStopped);
        worker.start();
        QVERIFY(worker.wait(5000));
        QCOMPARE(worker.done, 5);
        QCOMPARE(stopped.count(), 0);
    }

    void stopIsSeenWithinOneUnit()
    {
        CountingWorker worker;
        QSemaphore gate;
        worker.units = 1000;
        worker.gate = &gate;
        QSignalSpy stopped(&worker, &ProgressInterface::userStopped);
        worker.start();
        gate.release(3);
        QTRY_COMPARE_WITH_TIMEOUT(worker.done, 3, 5000);
        worker.userRequestStop();
        gate.release(1000);
        QVERIFY(worker.wait(5000));
        QCOMPARE(worker.done, 3);
        QCOMPARE(stopped.count(), 1);

        // The same object runs again after a stop.
        worker.gate = nullptr;
        worker.start();
        QVERIFY(worker.wait(5000));
        QCOMPARE(worker.done, 1000);
        QCOMPARE(stopped.count(), 1);
    }

    void baseRunOnlyLogs()
    {
        BaseRunWorker worker;
        QSignalSpy status(&worker, &ProgressInterface::progressStatus);
        QTest::ignoreMessage(QtDebugMsg, "ProgressInterface::run() called");
        worker.callBaseRun();
        QCOMPARE(status.count(), 0);
    }

    void processModifierSignalsCrossThreads()
    {
        // The receivers are in the GUI thread; the arguments must survive the queue.
        class Emitter : public ProcessModifier
        {
        protected:
            void run() override
            {
                Q_EMIT setOrvexData(QStringLiteral("key"), 11, QVariant(QStringLiteral("12")));
                Q_EMIT setProcessProperty(QStringLiteral("1|a|0"), 5, QVariant(42));
            }
        } emitter;
        QSignalSpy orvex(&emitter, &ProcessModifier::setOrvexData);
        QSignalSpy property(&emitter, &ProcessModifier::setProcessProperty);
        emitter.start();
        QVERIFY(emitter.wait(5000));
        QTRY_COMPARE(orvex.count(), 1);
        QCOMPARE(orvex.at(0).at(0).toString(), QStringLiteral("key"));
        QCOMPARE(orvex.at(0).at(1).toInt(), 11);
        QCOMPARE(orvex.at(0).at(2).toString(), QStringLiteral("12"));
        QCOMPARE(property.count(), 1);
        QCOMPARE(property.at(0).at(2).toInt(), 42);
    }
};

QTEST_GUILESS_MAIN(TestProgressInterface)
#include "tst_progressinterface.moc"
