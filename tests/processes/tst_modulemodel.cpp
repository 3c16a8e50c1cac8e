#include "processes/modulemodel.h"
#include "processes/modulerecord.h"
#include "registry/orvexcheckstate.h"
#include "testenvironment.h"

#include <QFontDatabase>
#include <QtSql>
#include <QtTest>

namespace {
const QString Md5 = QStringLiteral("0123456789abcdef0123456789abcdef");
const QString Sha1 = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
const QString OtherMd5 = QStringLiteral("fedcba9876543210fedcba9876543210");

QString record(quint32 pid, const QString &path)
{
    return ModuleRecord::pack(pid, path, ModuleRecord::baseName(path));
}

QList<QVariantList> rows(const QString &columns, const QString &where = QString())
{
    QSqlQuery query;
    const QString sql =
        QStringLiteral("SELECT %1 FROM modules%2 ORDER BY id")
            .arg(columns, where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where);
    if (!query.exec(sql))
        qFatal("test query failed: %s", qPrintable(query.lastError().text()));
    QList<QVariantList> result;
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < query.record().count(); ++i)
            row.append(query.isNull(i) ? QVariant() : query.value(i));
        result.append(row);
    }
    return result;
}
} // namespace

class TestModuleModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void init()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(db.open());
    }
    void cleanup()
    {
        QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }

    void columnsAndStatement()
    {
        ModuleModel model;
        const QStringList titles{
            "Parent PID",           "Name",        "Path",  "MD5", "SHA-1", "Status",
            "Detection Percentage", "Orvex State", "Loaded"};
        QCOMPARE(model.columnCount(), titles.size());
        for (int section = 0; section < titles.size(); ++section)
            QCOMPARE(model.headerData(section, Qt::Horizontal).toString(), titles.at(section));
        QCOMPARE(model.selectStatement(),
                 QStringLiteral("SELECT parent_pid, base_name, path, md5, sha1, status, "
                                "detection_percentage, orvex_state, is_loaded FROM modules"));
        model.setOrderByClause(QStringLiteral("ORDER BY path"));
        model.setFilterPID(42);
        QCOMPARE(model.selectStatement(),
                 QStringLiteral("SELECT parent_pid, base_name, path, md5, sha1, status, "
                                "detection_percentage, orvex_state, is_loaded FROM modules WHERE "
                                "parent_pid == 42 ORDER BY path"));
    }

    // A path with a quote, "_", "%" and capitals finds exactly its own rows:
    // not a path of other letter case, nor one that "_" or "%" would match.
    void pathsCompareExactly()
    {
        const QString own = QStringLiteral("/t/O'Neil_100%.so");
        const QStringList others{QStringLiteral("/t/o'neil_100%.so"),
                                 QStringLiteral("/t/O'NeilX100Y.so"),
                                 QStringLiteral("/t/O'Neil_100%.so.1")};
        ModuleModel model;
        QSignalSpy added(&model, &ModuleModel::modulesAdded);
        QList<QString> records{record(10, own)};
        for (const QString &path : others)
            records.append(record(10, path));
        model.addModules(records);
        QCOMPARE(added.takeFirst().first().value<QList<QString>>(), records);

        model.setDigestData(QStringLiteral("%1|%2|%3").arg(own, Sha1, Md5));
        QCOMPARE(rows(QStringLiteral("path, md5, sha1"), QStringLiteral("md5 IS NOT NULL")),
                 QList<QVariantList>({{own, Md5, Sha1}}));
        QCOMPARE(model.digestFromPath(own), Md5);
        for (const QString &path : others)
            QCOMPARE(model.digestFromPath(path), QString());

        // A second process loading each: only the own path takes stored digests.
        QList<QString> second;
        const QStringList secondPaths = QStringList(others) << own;
        for (const QString &path : secondPaths)
            second.append(record(11, path));
        model.addModules(second);
        QCOMPARE(added.takeFirst().first().value<QList<QString>>(), second.mid(0, 3));
        QCOMPARE(rows(QStringLiteral("parent_pid, path, md5"), QStringLiteral("md5 IS NOT NULL")),
                 QList<QVariantList>({{10, own, Md5}, {11, own, Md5}}));

        model.removeModules({record(10, own)});
        QCOMPARE(rows(QStringLiteral("parent_pid, path"), QStringLiteral("parent_pid == 10")),
                 QList<QVariantList>({{10, others.at(0)}, {10, others.at(1)}, {10, others.at(2)}}));
    }

    void verdictsPassOnlyBetweenRowsOfOneFile()
    {
        const QString path = QStringLiteral("/usr/lib/libshared.so");
        ModuleModel model;
        model.addModules({record(1, path)}, {{record(1, path), QStringLiteral("fe:00:100")}});
        model.setFileDigests(path, QStringLiteral("fe:00:100"), Sha1, Md5);
        model.setOrvexDataPacked(QStringLiteral("%1|0|2010-06-01 12:00:00").arg(Md5));

        // The same path in a container is another file: it is read itself.
        QSignalSpy added(&model, &ModuleModel::modulesAdded);
        model.addModules({record(2, path), record(3, path)},
                         {{record(2, path), QStringLiteral("00:2a:7")},
                          {record(3, path), QStringLiteral("fe:00:100")}});
        QCOMPARE(added.first().first().value<QList<QString>>(), QList<QString>{record(2, path)});
        QCOMPARE(rows(QStringLiteral("parent_pid, md5, orvex_state, detection_percentage")),
                 QList<QVariantList>({{1, Md5, int(Checked), 0},
                                      {2, QVariant(), int(Checking), QVariant()},
                                      {3, Md5, int(Checked), 0}}));
        model.setFileDigests(path, QStringLiteral("00:2a:7"), Sha1, OtherMd5);
        QCOMPARE(rows(QStringLiteral("parent_pid, md5")),
                 QList<QVariantList>({{1, Md5}, {2, OtherMd5}, {3, Md5}}));
    }

    // A malicious module marks each process that uses it, once.
    void malwareIsReportedOncePerProcess()
    {
        const QString path = QStringLiteral("/opt/evil/libevil.so");
        const QString id = QStringLiteral("fe:00:666");
        ModuleModel model;
        QSignalSpy malware(&model, &ModuleModel::malwareFound);
        model.addModules({record(1, path), record(2, path)},
                         {{record(1, path), id}, {record(2, path), id}});
        model.setFileDigests(path, id, Sha1, Md5);
        model.setOrvexDataPacked(QStringLiteral("%1|70|2010-06-01 12:00:00").arg(Md5));
        QCOMPARE(malware.size(), 2);
        QCOMPARE(malware.at(0), QVariantList({path, 1u}));
        QCOMPARE(malware.at(1), QVariantList({path, 2u}));
        QCOMPARE(rows(QStringLiteral("detection_percentage, orvex_state, status, friendly_date")),
                 QList<QVariantList>(2, {70, int(Checked), "Checked against the malware database.",
                                         "2010-06-01 12:00:00"}));
        // The same answer again tells of nobody new.
        model.setOrvexDataPacked(QStringLiteral("%1|70|2010-06-01 12:00:00").arg(Md5));
        QCOMPARE(malware.size(), 2);
        // A process that loads it later takes the verdict and is told of itself.
        model.addModules({record(3, path)}, {{record(3, path), id}});
        QCOMPARE(malware.size(), 3);
        QCOMPARE(malware.at(2), QVariantList({path, 3u}));
        QVERIFY(model.isModuleMalware(Md5));
        QCOMPARE(model.pathFromDigest(Md5), path);
        QCOMPARE(model.pidFromDigest(Md5), 1u);

        // Clean and unknown verdicts tell of nobody.
        const QString clean = QStringLiteral("/opt/clean.so");
        model.addModules({record(4, clean)}, {{record(4, clean), QStringLiteral("fe:00:1")}});
        model.setFileDigests(clean, QStringLiteral("fe:00:1"), Sha1, OtherMd5);
        model.setOrvexDataPacked(QStringLiteral("%1|-1|1970-01-01 00:00:00").arg(OtherMd5));
        QCOMPARE(malware.size(), 3);
        QVERIFY(!model.isModuleMalware(OtherMd5));
    }

    void unloadedModules()
    {
        const QString evil = QStringLiteral("/opt/libevil.so");
        const QString clean = QStringLiteral("/opt/libclean.so");
        const QString id = QStringLiteral("fe:00:9");
        ModuleModel model;
        model.addModules({record(5, evil), record(5, clean)},
                         {{record(5, evil), id}, {record(5, clean), id + u'0'}});
        model.setFileDigests(evil, id, Sha1, Md5);
        model.setOrvexDataPacked(QStringLiteral("%1|80|2010-06-01 12:00:00").arg(Md5));
        model.setFileDigests(clean, id + u'0', Sha1, OtherMd5);
        model.setOrvexDataPacked(QStringLiteral("%1|0|2010-06-01 12:00:00").arg(OtherMd5));

        model.removeModules({record(5, evil), record(5, clean)});
        QCOMPARE(rows(QStringLiteral("path, is_loaded")), QList<QVariantList>({{evil, 0}}));
        QVERIFY(model.loadedModuleFiles().isEmpty());
        QCOMPARE(model.moduleRecords(), QList<QString>{record(5, evil)});

        // Loaded again: the kept row is loaded again, with its verdict.
        QSignalSpy added(&model, &ModuleModel::modulesAdded);
        model.addModules({record(5, evil)}, {{record(5, evil), id}});
        QCOMPARE(rows(QStringLiteral("path, is_loaded, detection_percentage")),
                 QList<QVariantList>({{evil, 1, 80}}));
        QVERIFY(added.first().first().value<QList<QString>>().isEmpty());
        // The path now maps another file: the row starts afresh and is read.
        model.addModules({record(5, evil)}, {{record(5, evil), QStringLiteral("fe:00:10")}});
        QCOMPARE(rows(QStringLiteral("md5, orvex_state, detection_percentage, file_id")),
                 QList<QVariantList>({{QVariant(), int(Checking), QVariant(), "fe:00:10"}}));
        QCOMPARE(added.last().first().value<QList<QString>>(), QList<QString>{record(5, evil)});
    }

    void filesThatCannotBeChecked()
    {
        const QString path = QStringLiteral("/home/other/lib.so");
        const QString id = QStringLiteral("fe:00:77");
        ModuleModel model;
        model.addModules({record(1, path), record(2, path)},
                         {{record(1, path), id}, {record(2, path), id}});
        QCOMPARE(model.pidsAwaitingDigests(path, id), QList<quint32>({1, 2}));
        model.setFileUnreadable(path, id, {1});
        QCOMPARE(model.pidsAwaitingDigests(path, id), QList<quint32>{2});
        QCOMPARE(rows(QStringLiteral("parent_pid, orvex_state, status")),
                 QList<QVariantList>(
                     {{1, int(UnableToCheck), "Unable to check against malware database."},
                      {2, int(Checking), QVariant()}}));

        // A digest the registry never answers: unable to check, unless checked.
        model.setFileDigests(path, id, Sha1, Md5);
        model.setOrvexDataUnanswered(Md5);
        QCOMPARE(rows(QStringLiteral("parent_pid, orvex_state")),
                 QList<QVariantList>({{1, int(UnableToCheck)}, {2, int(UnableToCheck)}}));
        model.setOrvexDataPacked(QStringLiteral("%1|0|2010-06-01 12:00:00").arg(Md5));
        model.setOrvexDataUnanswered(Md5);
        QCOMPARE(rows(QStringLiteral("orvex_state")), QList<QVariantList>(2, {int(Checked)}));
    }

    void malformedRecordsAreSkipped()
    {
        ModuleModel model;
        QTest::ignoreMessage(QtWarningMsg, "ModuleModel::addModules() couldn't unpack 'x|/a.so'");
        model.addModules({QStringLiteral("x|/a.so"), record(1, QStringLiteral("/b.so"))});
        QCOMPARE(rows(QStringLiteral("path")), QList<QVariantList>({{"/b.so"}}));
        QTest::ignoreMessage(QtWarningMsg, "ModuleModel::setDigestData() couldn't unpack [/b.so]");
        model.setDigestData(QStringLiteral("/b.so"));
        QTest::ignoreMessage(QtWarningMsg,
                             "ModuleModel::setOrvexDataPacked() couldn't unpack 'x|1'");
        model.setOrvexDataPacked(QStringLiteral("x|1"));
        // A path with "|" still takes its digests.
        model.addModules({record(1, QStringLiteral("/c|d.so"))});
        model.setDigestData(QStringLiteral("/c|d.so|%1|%2").arg(Sha1, Md5));
        QCOMPARE(model.digestFromPath(QStringLiteral("/c|d.so")), Md5);
    }

    void rowLooks()
    {
        const QString evil = QStringLiteral("/opt/libevil.so");
        const QString waiting = QStringLiteral("/opt/libwaiting.so");
        const QString unreadable = QStringLiteral("/opt/libunreadable.so");
        ModuleModel model;
        model.addModules({record(1, evil), record(1, waiting), record(1, unreadable)});
        model.setDigestData(QStringLiteral("%1|%2|%3").arg(evil, Sha1, Md5));
        model.setOrvexDataPacked(QStringLiteral("%1|80|2010-06-01 12:00:00").arg(Md5));
        model.setFileUnreadable(unreadable, QString(), {1});
        model.select();
        QCOMPARE(model.rowCount(), 3);
        const auto look = [&model](int row, int role) {
            return model.data(model.index(row, ModuleModel::PathSection), role);
        };
        QCOMPARE(look(0, Qt::BackgroundRole).value<QColor>(), QColor(255, 152, 1));
        QVERIFY(!look(0, Qt::ForegroundRole).isValid());
        QCOMPARE(look(1, Qt::BackgroundRole).value<QColor>(), QColor(Qt::lightGray));
        QCOMPARE(look(2, Qt::BackgroundRole).value<QColor>(), QColor(Qt::darkGray));
        QVERIFY(model.isMalware(0) && model.isLoaded(0));
        QCOMPARE(model.orvexState(2), int(UnableToCheck));
        QCOMPARE(model.data(model.index(0, ModuleModel::Md5Section), Qt::FontRole).value<QFont>(),
                 QFontDatabase::systemFont(QFontDatabase::FixedFont));

        // Malicious, it stays when unloaded.
        model.removeModules({record(1, evil)});
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(look(0, Qt::BackgroundRole).value<QColor>(), QColor(Qt::darkRed));
        QCOMPARE(look(0, Qt::ForegroundRole).value<QColor>(), QColor(Qt::white));
        QVERIFY(!model.isLoaded(0));

        model.setFilterPID(2);
        QCOMPARE(model.rowCount(), 0);
        model.setFilterPID(0);
        QCOMPARE(model.rowCount(), 3);
    }
};

QTEST_MAIN(TestModuleModel)
#include "tst_modulemodel.moc"
