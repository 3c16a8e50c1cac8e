#include "processes/processsqlmodel.h"
#include "processes/winprocess.h"
#include "testenvironment.h"

#include <QAbstractItemModelTester>
#include <QBuffer>
#include <QtSql>
#include <QtTest>

namespace {
const QString Md5A = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
const QString Md5B = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
const QString Sha1A = QStringLiteral("a9993e364706816aba3e25717850c26c9cd0d89d");
const QString Seen = QStringLiteral("2024-01-02 03:04:05");

QList<QVariantList> tableRows(const QString &sql)
{
    QSqlQuery query;
    if (!query.exec(sql))
        qFatal("test query failed: %s", qPrintable(query.lastError().text()));
    QList<QVariantList> rows;
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < query.record().count(); ++i)
            row.append(query.isNull(i) ? QVariant() : query.value(i));
        rows.append(row);
    }
    return rows;
}

QVariant tableValue(const QString &sql)
{
    const QList<QVariantList> rows = tableRows(sql);
    return rows.isEmpty() ? QVariant() : rows.first().value(0);
}

QString answer(const QString &md5, int rate)
{
    return QStringLiteral("%1|%2|%3").arg(md5).arg(rate).arg(Seen);
}

QByteArray png(const QColor &colour)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    pixmap.save(&buffer, "PNG");
    return bytes;
}
} // namespace

class TestProcessSqlModel : public QObject
{
    Q_OBJECT

private:
    ProcessSqlModel *m_model = nullptr;

    // A row that has its digest and, when rate is given, its verdict.
    void addDigested(const QString &record, const QString &md5, const QString &path,
                     std::optional<int> rate = std::nullopt)
    {
        m_model->addProcesses({record});
        m_model->setData(record, WinProcess::FilePath, path);
        m_model->setData(record, WinProcess::MD5, md5);
        if (rate)
            m_model->setOrvexDataPacked(answer(md5, *rate));
    }

    // The rows as the model shows them once its pending re-select has run.
    QStringList shownNames()
    {
        m_model->select();
        QStringList names;
        for (int row = 0; row < m_model->rowCount(); ++row)
            names << m_model->baseName(row);
        return names;
    }

    int rowOf(const QString &name)
    {
        m_model->select();
        for (int row = 0; row < m_model->rowCount(); ++row) {
            if (m_model->baseName(row) == name)
                return row;
        }
        return -1;
    }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void init()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(db.open());
        m_model = new ProcessSqlModel;
    }

    void cleanup()
    {
        delete m_model;
        m_model = nullptr;
        QSqlDatabase::database().close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }

    void tableAndColumns()
    {
        QCOMPARE(m_model->selectStatement(),
                 QStringLiteral("SELECT small_icon, base_name, detection_percentage, pid, "
                                "parent_pid, file_path, md5, sha1, large_icon, orvex_state, "
                                "is_alive, status, malicious_module_count FROM processes ORDER BY "
                                "base_name ASC"));
        QCOMPARE(m_model->columnCount(), int(ProcessSqlModel::SectionCount));
        QCOMPARE(tableValue(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = "
                                           "'processes'"))
                     .toString(),
                 QStringLiteral(
                     "CREATE TABLE processes (id INTEGER PRIMARY KEY,pid INTEGER,base_name TEXT "
                     "COLLATE NOCASE,file_path TEXT,md5 TEXT,sha1 TEXT,is_alive "
                     "INTEGER,malicious_module_count INTEGER,parent_pid INTEGER,orvex_state "
                     "INTEGER,detection_percentage INTEGER,friendly_date TEXT,small_icon "
                     "TEXT,large_icon TEXT,status TEXT)"));
    }

    void recordsAreReadFromTheirEnds()
    {
        // A Linux command name may hold "|", blanks and brackets; the ids are
        // digits, so the name is whatever lies between them.
        QTest::ignoreMessage(QtWarningMsg, "ProcessSqlModel::addProcesses() couldn't unpack 'abc'");
        QTest::ignoreMessage(QtWarningMsg, "ProcessSqlModel::addProcesses() couldn't unpack '5|x'");
        QTest::ignoreMessage(QtWarningMsg,
                             "ProcessSqlModel::addProcesses() couldn't unpack 'x|name|1'");
        QTest::ignoreMessage(QtDebugMsg, "Created '12|a|b) (c|1'");
        m_model->addProcesses({"abc", "12|a|b) (c|1", "5|x", "x|name|1", "13||1", "14|%3 |9|2"});
        QCOMPARE(
            tableRows(QStringLiteral("SELECT pid, base_name, parent_pid, is_alive, "
                                     "orvex_state, malicious_module_count FROM processes "
                                     "ORDER BY pid")),
            QList<QVariantList>(
                {{12, "a|b) (c", 1, 1, 3, 0}, {13, "", 1, 1, 3, 0}, {14, "%3 |9", 2, 1, 3, 0}}));
        QList<QString> alive = m_model->aliveProcessRecords();
        alive.sort();
        QCOMPARE(alive, QList<QString>({"12|a|b) (c|1", "13||1", "14|%3 |9|2"}));

        m_model->setData(QStringLiteral("12|a|b) (c|1"), WinProcess::MD5, Md5A);
        QCOMPARE(tableValue(QStringLiteral("SELECT md5 FROM processes WHERE pid = 12")).toString(),
                 Md5A);
        m_model->removeProcesses({"14|%3 |9|2"});
        QCOMPARE(tableValue(QStringLiteral("SELECT COUNT(*) FROM processes")).toInt(), 2);
        QStringList parts;
        QVERIFY(ProcessSqlModel::unpackRecord(QStringLiteral("1|a|b|2"), &parts));
        QCOMPARE(parts, QStringList({"1", "a|b", "2"}));
        QVERIFY(!ProcessSqlModel::unpackRecord(QStringLiteral("1|2"), &parts));
    }

    void properties_data()
    {
        QTest::addColumn<int>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QVariant>("stored");

        const QByteArray icon = png(Qt::red);
        QTest::newRow("path") << int(WinProcess::FilePath) << QVariant("/usr/bin/a|b (deleted)")
                              << "file_path" << QVariant("/usr/bin/a|b (deleted)");
        QTest::newRow("md5") << int(WinProcess::MD5) << QVariant(Md5A) << "md5" << QVariant(Md5A);
        QTest::newRow("sha1") << int(WinProcess::SHA1) << QVariant(Sha1A) << "sha1"
                              << QVariant(Sha1A);
        QTest::newRow("small icon") << int(WinProcess::SmallIcon) << QVariant(icon) << "small_icon"
                                    << QVariant(QString::fromLatin1(icon.toBase64()));
        QTest::newRow("large icon") << int(WinProcess::LargeIcon) << QVariant(icon) << "large_icon"
                                    << QVariant(QString::fromLatin1(icon.toBase64()));
        QTest::newRow("unable to check") << int(WinProcess::OrvexState) << QVariant(2) << "status"
                                         << QVariant("Unable to check against malware database.");
        QTest::newRow("checking") << int(WinProcess::OrvexState) << QVariant(3) << "status"
                                  << QVariant("Checking against the malware database.");
        QTest::newRow("not checked")
            << int(WinProcess::OrvexState) << QVariant(1) << "status" << QVariant("Not checked.");
        QTest::newRow("checked") << int(WinProcess::OrvexState) << QVariant(4) << "status"
                                 << QVariant("Checked against the malware database.");
        QTest::newRow("unknown state")
            << int(WinProcess::OrvexState) << QVariant(9) << "status" << QVariant();
    }
    void properties()
    {
        QFETCH(int, property);
        QFETCH(QVariant, value);
        QFETCH(QString, column);
        QFETCH(QVariant, stored);
        m_model->addProcesses({"7|prog|1", "8|prog|1"});
        m_model->setData(QStringLiteral("7|prog|1"), WinProcess::OrvexState,
                         1); // a text to replace
        m_model->setData(QStringLiteral("7|prog|1"), property, value);
        QCOMPARE(tableValue(QStringLiteral("SELECT %1 FROM processes WHERE pid = 7").arg(column)),
                 stored);
        // Only the row of the record; the state column keeps its value.
        QCOMPARE(tableValue(QStringLiteral("SELECT orvex_state FROM processes WHERE pid = 7")), 3);
        QVERIFY(tableValue(QStringLiteral("SELECT %1 FROM processes WHERE pid = 8").arg(column))
                    .isNull());
    }

    void propertiesTheTableDoesNotKeep_data()
    {
        QTest::addColumn<int>("property");
        QTest::newRow("last seen") << int(WinProcess::LastSeenByOrvex);
        QTest::newRow("detection rate") << int(WinProcess::DetectionRate);
        QTest::newRow("malicious module") << int(WinProcess::MaliciousModule);
        QTest::newRow("base name") << int(WinProcess::BaseName);
    }
    void propertiesTheTableDoesNotKeep()
    {
        QFETCH(int, property);
        m_model->addProcesses({"7|prog|1"});
        const QList<QVariantList> before = tableRows(QStringLiteral("SELECT * FROM processes"));
        QTest::ignoreMessage(QtWarningMsg,
                             "ProcessSqlModel::setData() hit default case with data string 42");
        m_model->setData(QStringLiteral("7|prog|1"), property, 42);
        QCOMPARE(tableRows(QStringLiteral("SELECT * FROM processes")), before);
        // A record whose row is gone changes nothing either.
        m_model->setData(QStringLiteral("9|prog|1"), WinProcess::MD5, Md5A);
        QCOMPARE(tableRows(QStringLiteral("SELECT * FROM processes")), before);
    }

    void verdicts()
    {
        QSignalSpy malware(m_model, &ProcessSqlModel::malwareFound);
        addDigested(QStringLiteral("20|evil|1"), Md5A, QStringLiteral("/opt/evil"));
        addDigested(QStringLiteral("21|evil|1"), Md5A, QStringLiteral("/opt/evil copy"));
        addDigested(QStringLiteral("22|good|1"), Md5B, QStringLiteral("/bin/good"));

        m_model->setOrvexDataPacked(answer(Md5B, 0));
        m_model->setOrvexDataPacked(answer(Md5A, 35));
        // Both instances of the program take the verdict; one alarm per answer,
        // with the first row's path and pid.
        QCOMPARE(tableRows(QStringLiteral("SELECT pid, detection_percentage, friendly_date, "
                                          "status, orvex_state FROM processes ORDER BY pid")),
                 QList<QVariantList>({{20, 35, Seen, "Checked against the malware database.", 4},
                                      {21, 35, Seen, "Checked against the malware database.", 4},
                                      {22, 0, Seen, "Checked against the malware database.", 4}}));
        QCOMPARE(malware.size(), 1);
        QCOMPARE(malware.first(), QVariantList({QStringLiteral("/opt/evil"), 20u}));

        m_model->setOrvexDataPacked(answer(Md5B, -1));
        QCOMPARE(malware.size(), 1);
        QCOMPARE(tableValue(QStringLiteral("SELECT detection_percentage FROM processes WHERE pid "
                                           "= 22")),
                 -1);

        QTest::ignoreMessage(
            QtCriticalMsg,
            "ProcessSqlModel::setOrvexDataPacked() couldn't convert detection rate [lots]");
        m_model->setOrvexDataPacked(QStringLiteral("%1|lots|%2").arg(Md5B, Seen));
        QCOMPARE(tableValue(QStringLiteral("SELECT detection_percentage FROM processes WHERE pid "
                                           "= 22")),
                 0);
        QTest::ignoreMessage(QtWarningMsg,
                             "ProcessSqlModel::setOrvexDataPacked() couldn't unpack 'a|1'");
        m_model->setOrvexDataPacked(QStringLiteral("a|1"));

        // An answer for a digest no row holds raises no alarm about nothing.
        m_model->setOrvexDataPacked(answer(QString(32, u'e'), 80));
        QCOMPARE(malware.size(), 1);
    }

    void endedProcesses()
    {
        QSignalSpy malware(m_model, &ProcessSqlModel::malwareFound);
        addDigested(QStringLiteral("30|clean|1"), Md5B, QStringLiteral("/bin/clean"), 0);
        addDigested(QStringLiteral("31|evil|1"), Md5A, QStringLiteral("/opt/evil"), 60);
        m_model->addProcesses({"32|undigested|1"});
        m_model->setData(QStringLiteral("32|undigested|1"), WinProcess::OrvexState, 2);
        QCOMPARE(malware.size(), 1);

        QTest::ignoreMessage(QtDebugMsg, "ProcessSqlModel::isProcessMalware will return true for "
                                         "[31|evil|1] with detection percentage 60");
        m_model->removeProcesses({"30|clean|1", "31|evil|1", "32|undigested|1"});
        // Malware stays listed, no longer alive; the others go.
        QCOMPARE(tableRows(QStringLiteral("SELECT pid, is_alive FROM processes")),
                 QList<QVariantList>({{31, 0}}));
        QCOMPARE(m_model->rowCount(), 1);
        QVERIFY(!m_model->isAlive(0));
        QVERIFY(m_model->isMalware(0));
        QVERIFY(m_model->aliveProcessRecords().isEmpty());
        QCOMPARE(m_model->allPids(), QList<quint32>{31});
    }

    void endedBeforeItsVerdict()
    {
        // Quick malware must not slip by: a process whose digest is with the
        // registry keeps its row until the answer.
        QSignalSpy malware(m_model, &ProcessSqlModel::malwareFound);
        addDigested(QStringLiteral("40|quick|1"), Md5A, QStringLiteral("/tmp/quick"));
        addDigested(QStringLiteral("41|brief|1"), Md5B, QStringLiteral("/bin/brief"));
        m_model->removeProcesses({"40|quick|1", "41|brief|1"});
        QCOMPARE(tableRows(QStringLiteral("SELECT pid, is_alive FROM processes ORDER BY pid")),
                 QList<QVariantList>({{40, 0}, {41, 0}}));
        QVERIFY(m_model->aliveProcessRecords().isEmpty());

        m_model->setOrvexDataPacked(answer(Md5A, 70));
        m_model->setOrvexDataPacked(answer(Md5B, -1));
        QCOMPARE(malware.size(), 1);
        QCOMPARE(malware.first(), QVariantList({QStringLiteral("/tmp/quick"), 40u}));
        QCOMPARE(tableRows(QStringLiteral("SELECT pid, is_alive, detection_percentage FROM "
                                          "processes")),
                 QList<QVariantList>({{40, 0, 70}}));

        // An alive instance of a clean program is not touched by the clean-up.
        addDigested(QStringLiteral("42|brief|1"), Md5B, QStringLiteral("/bin/brief"));
        m_model->setOrvexDataPacked(answer(Md5B, 0));
        QCOMPARE(tableValue(QStringLiteral("SELECT is_alive FROM processes WHERE pid = 42")), 1);
    }

    void filter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("shown");
        const QStringList all{"100%_done", "a'b", "back\\slash", "explorer", "Export", "xp"};
        QTest::newRow("empty shows all") << QString() << all;
        QTest::newRow("any letter case") << "exp" << QStringList{"explorer", "Export"};
        QTest::newRow("percent is literal") << "%" << QStringList{"100%_done"};
        QTest::newRow("underscore is literal") << "0_d" << QStringList();
        QTest::newRow("underscore and percent") << "%_" << QStringList{"100%_done"};
        QTest::newRow("quote") << "a'" << QStringList{"a'b"};
        QTest::newRow("escape character") << "k\\s" << QStringList{"back\\slash"};
        QTest::newRow("SQL in the text") << "' OR 1=1 --" << QStringList();
        QTest::newRow("NUL") << QStringLiteral("x") + QChar(0) << QStringList();
    }
    void filter()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, shown);
        m_model->addProcesses({"1|explorer|0", "2|Export|0", "3|100%_done|0", "4|a'b|0",
                               "5|back\\slash|0", "6|xp|0"});
        m_model->userSetFilter(text);
        QVERIFY(m_model->lastError().text().isEmpty());
        QStringList names;
        for (int row = 0; row < m_model->rowCount(); ++row)
            names << m_model->baseName(row);
        QCOMPARE(names, shown); // by name, in any letter case
    }

    void appearance()
    {
        addDigested(QStringLiteral("50|alive evil|1"), Md5A, QStringLiteral("/a"), 10);
        addDigested(QStringLiteral("51|dead evil|1"), Md5A, QStringLiteral("/b"), 10);
        m_model->removeProcesses({"51|dead evil|1"});
        addDigested(QStringLiteral("52|clean|1"), Md5B, QStringLiteral("/c"), 0);
        m_model->addProcesses({"53|checking|1", "54|unable|1", "55|modules|1"});
        QSqlQuery().exec(QStringLiteral("UPDATE processes SET orvex_state = 2 WHERE pid = 54"));
        m_model->malwareModuleFound(QStringLiteral("/lib/bad.so"), 55);

        const auto background = [this](const QString &name) {
            return m_model->data(m_model->index(rowOf(name), ProcessSqlModel::PidSection),
                                 Qt::BackgroundRole);
        };
        QCOMPARE(background(QStringLiteral("alive evil")), QVariant(QColor(255, 152, 1)));
        QCOMPARE(background(QStringLiteral("dead evil")), QVariant(QColor(Qt::darkRed)));
        QCOMPARE(background(QStringLiteral("modules")), QVariant(QColor(255, 152, 1)));
        QCOMPARE(background(QStringLiteral("checking")), QVariant(QColor(Qt::lightGray)));
        QCOMPARE(background(QStringLiteral("unable")), QVariant(QColor(Qt::darkGray)));
        QVERIFY(!background(QStringLiteral("clean")).isValid());

        const int dead = rowOf(QStringLiteral("dead evil"));
        QCOMPARE(m_model->data(m_model->index(dead, ProcessSqlModel::BaseNameSection),
                               Qt::ForegroundRole),
                 QVariant(QColor(Qt::white)));
        QVERIFY(!m_model
                     ->data(m_model->index(rowOf(QStringLiteral("alive evil")),
                                           ProcessSqlModel::BaseNameSection),
                            Qt::ForegroundRole)
                     .isValid());
        QCOMPARE(m_model->data(m_model->index(dead, ProcessSqlModel::IsAliveSection), Qt::EditRole),
                 QVariant(QStringLiteral("No")));
        QCOMPARE(m_model->data(m_model->index(rowOf(QStringLiteral("clean")),
                                              ProcessSqlModel::IsAliveSection),
                               Qt::EditRole),
                 QVariant(QStringLiteral("Yes")));
        QCOMPARE(
            m_model->data(m_model->index(0, ProcessSqlModel::SmallIconSection), Qt::SizeHintRole),
            QVariant(QSize(16, 16)));
        QVERIFY(!m_model->data(QModelIndex(), Qt::DisplayRole).isValid());

        // Icons come back as pictures.
        const int clean = rowOf(QStringLiteral("clean"));
        m_model->setData(QStringLiteral("52|clean|1"), WinProcess::SmallIcon, png(Qt::blue));
        m_model->setData(QStringLiteral("52|clean|1"), WinProcess::SHA1, Sha1A);
        m_model->select();
        const QPixmap icon = m_model->smallIcon(clean);
        QCOMPARE(icon.size(), QSize(16, 16));
        QCOMPARE(icon.toImage().pixelColor(8, 8), QColor(Qt::blue));
        QCOMPARE(m_model->processFPData(clean), QStringLiteral("%1|%2|/c").arg(Md5B, Sha1A));
        QCOMPARE(m_model->rowPid(clean), 52u);
        QCOMPARE(m_model->orvexState(clean), 4);
    }

    void maliciousModules()
    {
        m_model->addProcesses({"60|host|1", "61|other|1"});
        QTest::ignoreMessage(QtDebugMsg,
                             "ProcessSqlModel::malwareModuleFound( /lib/a|b.so, 60 ) called");
        m_model->malwareModuleFound(QStringLiteral("/lib/a|b.so"), 60);
        m_model->malwareModuleFound(QStringLiteral("/lib/a|b.so"), 60); // counted twice
        QCOMPARE(m_model->maliciousModuleCountFromPid(60), 2);
        QCOMPARE(m_model->maliciousModuleCountFromPid(61), 0);
        m_model->select();
        QVERIFY(m_model->hasMaliciousModules(rowOf(QStringLiteral("host"))));

        // A pid that has only ended rows changes nothing.
        addDigested(QStringLiteral("62|gone|1"), Md5A, QStringLiteral("/g"), 5);
        m_model->removeProcesses({"62|gone|1"});
        m_model->malwareModuleFound(QStringLiteral("/lib/x.so"), 62);
        QCOMPARE(m_model->maliciousModuleCountFromPid(62), 0);
        QCOMPARE(m_model->pidFromDigest(Md5A), 62u);
        QCOMPARE(m_model->pathFromDigest(Md5A), QStringLiteral("/g"));
        QCOMPARE(m_model->pidFromDigest(Md5B), 0u);
        QVERIFY(m_model->pathFromDigest(Md5B).isEmpty());
    }

    void consistentForViews()
    {
        // Views and proxies rely on the model keeping its word: rows appear
        // and go through re-selects, never announced where they are not.
        QAbstractItemModelTester tester(m_model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        m_model->addProcesses({"70|b|1", "71|a|1", "72|c|1"});
        addDigested(QStringLiteral("73|d|1"), Md5A, QStringLiteral("/d"), 50);
        m_model->removeProcesses({"71|a|1", "73|d|1"});
        m_model->userSetFilter(QStringLiteral("b"));
        m_model->userSetFilter(QString());
        QCOMPARE(shownNames(), QStringList({"b", "c", "d"}));
        QCOMPARE(m_model->rowCount(m_model->index(0, 0)), 0);
    }

    void manyChangesOneReselect()
    {
        // When many processes start at once, each reports six properties; the
        // table is re-selected once for all that arrive in one turn.
        QList<QString> records;
        for (int i = 0; i < 300; ++i)
            records << QStringLiteral("%1|p%1|1").arg(1000 + i);
        m_model->addProcesses(records);
        QSignalSpy resets(m_model, &QAbstractItemModel::modelReset);
        for (const QString &record : std::as_const(records)) {
            m_model->setData(record, WinProcess::OrvexState, 3);
            m_model->setData(record, WinProcess::FilePath, QStringLiteral("/bin/p"));
            m_model->setData(record, WinProcess::MD5, Md5A);
        }
        m_model->setOrvexDataPacked(answer(Md5A, 0));
        QCOMPARE(resets.size(), 0);
        QTRY_COMPARE(resets.size(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(resets.size(), 1);
        // Every row, not the first 256 fetched.
        QCOMPARE(m_model->rowCount(), 300);
        QCOMPARE(m_model->data(m_model->index(0, ProcessSqlModel::StatusSection)).toString(),
                 QStringLiteral("Checked against the malware database."));
    }
};

QTEST_MAIN(TestProcessSqlModel)
#include "tst_processsqlmodel.moc"
