#include "registry/uniqueid.h"
#include "testenvironment.h"

#include <QSet>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

class TestUniqueId : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    // Runs first: nothing has set the identifier yet.
    void nullUntilSetThenCreatedOnceUnderRace()
    {
        QVERIFY(UniqueId::installationUuid().isNull());

        // Handler threads that all need the identifier at once must agree on one.
        QMutex mutex;
        QSet<QUuid> seen;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back(QThread::create([&] {
                const QUuid uuid = UniqueId::ensureInstallationUuid();
                QMutexLocker locker(&mutex);
                seen.insert(uuid);
            }));
            threads.back()->start();
        }
        for (auto &thread : threads)
            QVERIFY(thread->wait(10000));
        QCOMPARE(seen.size(), 1);
        QVERIFY(!seen.begin()->isNull());
        QCOMPARE(UniqueId::installationUuid(), *seen.begin());
        QCOMPARE(UniqueId::ensureInstallationUuid(), *seen.begin());
    }

    void setKeepsAGivenIdentifierAndReplacesANullOne()
    {
        const QUuid given("{67c8770b-44f1-410a-ab9a-f9b5446f13ee}");
        UniqueId::setInstallationUuid(given);
        QCOMPARE(UniqueId::installationUuid(), given);
        QCOMPARE(UniqueId::ensureInstallationUuid(), given);

        UniqueId::setInstallationUuid(QUuid());
        const QUuid created = UniqueId::installationUuid();
        QVERIFY(!created.isNull());
        QVERIFY(created != given);
        QCOMPARE(created.toString(), created.toString().toLower());
    }
};

QTEST_GUILESS_MAIN(TestUniqueId)
#include "tst_uniqueid.moc"
