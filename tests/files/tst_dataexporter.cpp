#include "files/dataexporter.h"
#include "testenvironment.h"

#include <QtSql>
#include <QtTest>

namespace {
// The file results table as the file table creates it.
const char *const CreateItems =
    "CREATE TABLE items (id INTEGER PRIMARY KEY,name TEXT COLLATE NOCASE,path TEXT COLLATE "
    "NOCASE,md5 TEXT COLLATE NOCASE,sha1 TEXT COLLATE NOCASE,size TEXT,detection_rate "
    "INTEGER,bytes INTEGER,scan_type INTEGER,last_seen TEXT,scan_time TEXT,check_state "
    "INTEGER,status INTEGER)";

const QStringList Titles{
    "Name",        "MD5",   "SHA-1", "Path", "Size", "Detection Rate", "Last Seen By Orvex",
    "Check State", "Status"};

struct Item
{
    QVariant name, md5, sha1, path, size, rate, lastSeen, checkState;
};

void insertItem(const Item &item)
{
    QSqlQuery insert;
    insert.prepare(QStringLiteral("INSERT INTO items (name, md5, sha1, path, size, "
                                  "detection_rate, last_seen, check_state) VALUES (?, ?, ?, ?, "
                                  "?, ?, ?, ?)"));
    for (const QVariant &value : {item.name, item.md5, item.sha1, item.path, item.size, item.rate,
                                  item.lastSeen, item.checkState})
        insert.addBindValue(value);
    if (!insert.exec())
        qFatal("insert failed: %s", qPrintable(insert.lastError().text()));
}

// Answers the save dialog from the test and records what it was offered.
class ScriptedExporter : public DataExporter
{
public:
    QString answerFile;
    QString answerFilter;
    QString offeredFolder;
    QString offeredFile;
    QString offeredFilters;
    QString offeredFilter;
    QStringList failures;
    QStringList overwriteQuestions;
    bool overwrite = false;

protected:
    QString askForFileName(const QString &proposed, const QString &filters,
                           QString *selectedFilter) override
    {
        offeredFolder = QFileInfo(proposed).path();
        offeredFile = proposed;
        offeredFilters = filters;
        offeredFilter = *selectedFilter;
        if (!answerFilter.isEmpty())
            *selectedFilter = answerFilter;
        return answerFile;
    }
    void showOpenFailure(const QString &fileName) override { failures.append(fileName); }
    bool confirmOverwrite(const QString &fileName) override
    {
        overwriteQuestions.append(fileName);
        return overwrite;
    }
};
} // namespace

class TestDataExporter : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;

    // The export of the whole table in the given format, as text.
    QString exportText(int type)
    {
        DataExporter exporter;
        exporter.setExportType(type);
        QSqlQuery query;
        query.setForwardOnly(true);
        if (!query.exec(QStringLiteral("SELECT * FROM items")))
            qFatal("select failed");
        QString text;
        QTextStream stream(&text);
        exporter.exportItems(query, stream);
        stream.flush();
        return text;
    }

    // For each export text and its delimiter, the rows after the version line as
    // Python's csv module reads them (one interpreter for all: it starts slowly).
    QList<QList<QStringList>> readWithPython(const QList<QPair<QString, QString>> &exports)
    {
        QStringList arguments{QStringLiteral("-c"), QString()};
        for (int i = 0; i < exports.size(); ++i) {
            const QString fileName = m_dir->filePath(QStringLiteral("export%1.txt").arg(i));
            QFile file(fileName);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                qFatal("cannot write %s", qPrintable(fileName));
            file.write(exports.at(i).first.toUtf8());
            arguments << fileName << exports.at(i).second;
        }
        arguments[1] = QString::fromLatin1(
            "import csv, json, sys\n"
            "result = []\n"
            "for name, delimiter in zip(sys.argv[1::2], sys.argv[2::2]):\n"
            "    with open(name, newline='', encoding='utf-8') as f:\n"
            "        f.readline()\n"
            "        result.append(list(csv.reader(f, delimiter=delimiter, strict=True)))\n"
            "json.dump(result, sys.stdout)\n");
        QProcess python;
        python.start(QStringLiteral("python3"), arguments);
        if (!python.waitForFinished(30000) || python.exitCode() != 0) {
            // A file Python rejects fails the caller's comparisons, not the whole run.
            qWarning("python3 could not read the export: %s",
                     python.readAllStandardError().constData());
            return {};
        }
        QList<QList<QStringList>> files;
        const QJsonArray array = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
        for (const QJsonValue &rowsOfFile : array) {
            QList<QStringList> rows;
            for (const QJsonValue &row : rowsOfFile.toArray()) {
                QStringList fields;
                for (const QJsonValue &field : row.toArray())
                    fields.append(field.toString());
                rows.append(fields);
            }
            files.append(rows);
        }
        return files;
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QCoreApplication::setApplicationVersion(QStringLiteral("9.8.7"));
    }

    void init()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(db.open());
        QVERIFY(QSqlQuery().exec(QLatin1String(CreateItems)));
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
    }

    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
        QSqlDatabase::database().close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }

    void emptyTableGivesTheTwoHeaderLines_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("titles");
        QTest::newRow("tab") << 1 << "#" + Titles.join(u'\t');
        QTest::newRow("comma") << 2 << "#" + Titles.join(u',');
        QTest::newRow("pipe") << 3
                              << QStringLiteral("#Name|MD5|SHA-1|Path|Size|Detection Rate|Last "
                                                "Seen By Orvex|Check State|Status");
        // Titles that hold the blank are quoted, so the line still has nine fields.
        QTest::newRow("space") << 4
                               << QStringLiteral("#Name MD5 SHA-1 Path Size \"Detection Rate\" "
                                                 "\"Last Seen By Orvex\" \"Check State\" Status");
    }

    void emptyTableGivesTheTwoHeaderLines()
    {
        QFETCH(int, type);
        QFETCH(QString, titles);
        QCOMPARE(exportText(type), "#WinOrvex version 9.8.7\n" + titles + "\n");
    }

    void unknownTypesWriteNothing()
    {
        insertItem({"a.exe", QVariant(), QVariant(), "/a.exe", "1 KB", QVariant(), QVariant(), 1});
        QCOMPARE(exportText(0), QString());
        QTest::ignoreMessage(QtWarningMsg,
                             "DataExporter::exportItems() hit the default export type case!");
        QCOMPARE(exportText(5), QString());
    }

    void stateAndStatusWords_data()
    {
        QTest::addColumn<QVariant>("checkState");
        QTest::addColumn<QVariant>("rate");
        QTest::addColumn<QString>("rateText");
        QTest::addColumn<QString>("stateWord");
        QTest::addColumn<QString>("statusWord");
        const QVariant null;
        QTest::newRow("new row") << null << null << ""
                                 << "Unknown Orvex Check State"
                                 << "Unknown";
        QTest::newRow("not checked") << QVariant(1) << null << ""
                                     << "Not checked."
                                     << "Unknown";
        QTest::newRow("unable to open") << QVariant(2) << null << ""
                                        << "Unable to check."
                                        << "Unknown";
        QTest::newRow("checking") << QVariant(3) << null << ""
                                  << "Checking..."
                                  << "Unknown";
        QTest::newRow("no data") << QVariant(4) << QVariant(-1) << "-1"
                                 << "Checked."
                                 << "Malware not detected.";
        QTest::newRow("known clean") << QVariant(4) << QVariant(0) << "0"
                                     << "Checked."
                                     << "Malware not detected.";
        QTest::newRow("one engine") << QVariant(4) << QVariant(1) << "1"
                                    << "Checked."
                                    << "Malware detected.";
        QTest::newRow("all engines") << QVariant(4) << QVariant(100) << "100"
                                     << "Checked."
                                     << "Malware detected.";
        QTest::newRow("answered without rate") << QVariant(4) << null << ""
                                               << "Checked."
                                               << "Malware not detected.";
        QTest::newRow("odd state") << QVariant(9) << QVariant(50) << "50"
                                   << "Unknown Orvex Check State"
                                   << "Unknown";
    }

    void stateAndStatusWords()
    {
        QFETCH(QVariant, checkState);
        QFETCH(QVariant, rate);
        QFETCH(QString, rateText);
        QFETCH(QString, stateWord);
        QFETCH(QString, statusWord);
        insertItem({"x.exe", QVariant(), QVariant(), "/d/x.exe", "unknown size", rate, QVariant(),
                    checkState});
        const QStringList lines = exportText(2).split(u'\n');
        QCOMPARE(lines.size(), 4); // version, titles, the row, and the final line end
        QCOMPARE(lines.at(2), QStringLiteral("x.exe,,,/d/x.exe,unknown size,%1,,%2,%3")
                                  .arg(rateText, stateWord, statusWord));
    }

    void rowsKeepTheQueryOrder()
    {
        for (const QString name : {"c.exe", "a.exe", "b.exe"})
            insertItem({name, QVariant(), QVariant(), "/" + name, "1 KB", QVariant(), QVariant(),
                        QVariant()});
        const QStringList lines = exportText(3).split(u'\n');
        QCOMPARE(lines.mid(2, 3),
                 (QStringList{"c.exe|||/c.exe|1 KB|||Unknown Orvex Check State|Unknown",
                              "a.exe|||/a.exe|1 KB|||Unknown Orvex Check State|Unknown",
                              "b.exe|||/b.exe|1 KB|||Unknown Orvex Check State|Unknown"}));
    }

    void quoteField_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("separator");
        QTest::addColumn<QString>("written");
        QTest::newRow("plain") << "/a/b.exe"
                               << ","
                               << "/a/b.exe";
        QTest::newRow("empty") << ""
                               << ","
                               << "";
        QTest::newRow("separator") << "/a,b.exe"
                                   << ","
                                   << "\"/a,b.exe\"";
        QTest::newRow("other separator") << "/a,b.exe"
                                         << "|"
                                         << "/a,b.exe";
        QTest::newRow("quote") << "say \"hi\""
                               << "|"
                               << "\"say \"\"hi\"\"\"";
        QTest::newRow("line feed") << "a\nb"
                                   << "\t"
                                   << "\"a\nb\"";
        QTest::newRow("carriage return") << "a\rb"
                                         << "\t"
                                         << "\"a\rb\"";
        QTest::newRow("blank") << "a b"
                               << " "
                               << "\"a b\"";
        QTest::newRow("single quote") << "it's"
                                      << ","
                                      << "it's";
    }

    void quoteField()
    {
        QFETCH(QString, field);
        QFETCH(QString, separator);
        QFETCH(QString, written);
        QCOMPARE(DataExporter::quoteField(field, separator), written);
    }

    void pythonReadsNineFieldsPerRowInEveryFormat()
    {
        const QStringList names{"comma,name.exe",
                                "tab\tname.exe",
                                "pipe|name.exe",
                                "blank name.exe",
                                "say \"hi\".exe",
                                "two\nlines.exe",
                                "carriage\rreturn.exe",
                                "\"",
                                "plain.exe",
                                QString::fromUtf8("caf\xc3\xa9 \xef\xbf\xbd.exe")};
        for (int i = 0; i < names.size(); ++i)
            insertItem({names.at(i), QStringLiteral("%1").arg(i, 32, 10, QLatin1Char('0')),
                        QVariant(), "/dir, with \"all\"|\tkinds/" + names.at(i), "1.50 KB", i - 1,
                        "2010-06-01 14:03:59", 4});

        const QStringList delimiters{"\t", ",", "|", " "};
        QList<QPair<QString, QString>> exports;
        for (int type = 1; type <= 4; ++type)
            exports.append({exportText(type), delimiters.at(type - 1)});
        const QList<QList<QStringList>> files = readWithPython(exports);
        QCOMPARE(files.size(), 4);
        for (int type = 1; type <= 4; ++type) {
            const QList<QStringList> &rows = files.at(type - 1);
            QVERIFY2(rows.size() == names.size() + 1, qPrintable(QString::number(type)));
            QCOMPARE(rows.first(), QStringList{"#" + Titles.first()} + Titles.mid(1));
            for (int i = 0; i < names.size(); ++i) {
                const QString status = i - 1 >= 1 ? "Malware detected." : "Malware not detected.";
                QCOMPARE(rows.at(i + 1),
                         (QStringList{
                             names.at(i), QStringLiteral("%1").arg(i, 32, 10, QLatin1Char('0')), "",
                             "/dir, with \"all\"|\tkinds/" + names.at(i), "1.50 KB",
                             QString::number(i - 1), "2010-06-01 14:03:59", "Checked.", status}));
            }
        }
    }

    void destinationDialogRemembersFolderAndFormat()
    {
        // The first export of the process starts in the documents folder.
        ScriptedExporter first;
        QCOMPARE(first.exportType(), 2);
        first.answerFile = m_dir->filePath(QStringLiteral("table.txt"));
        first.answerFilter = QStringLiteral("Pipe Delimited Text (*.txt)");
        QFile file;
        QVERIFY(first.openExportFile(file));
        // A real file name is proposed, not the folder's name.
        const QString today = QDate::currentDate().toString(Qt::ISODate);
        QCOMPARE(first.offeredFile,
                 QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
                     "/WinOrvex Files " + today + ".csv");
        QCOMPARE(first.offeredFilter, QStringLiteral("Comma Separated Values (*.csv)"));
        const QStringList offered = first.offeredFilters.split(QStringLiteral(";;"));
        QCOMPARE(offered.size(), 4);
        for (const QString filter : {"Tab Delimited Text (*.txt)", "Comma Separated Values (*.csv)",
                                     "Pipe Delimited Text (*.txt)", "Space Delimited Text (*.txt)"})
            QVERIFY(offered.contains(filter));
        QCOMPARE(first.exportType(), 3);
        QVERIFY(file.isOpen());
        QVERIFY(file.openMode().testFlag(QIODevice::WriteOnly));
        QVERIFY(file.openMode().testFlag(QIODevice::Text));
        file.close();

        // A later export in the same process starts where the last one went.
        ScriptedExporter second;
        second.setExportType(4);
        QVERIFY(!second.openExportFile(file)); // cancelled
        QCOMPARE(second.offeredFile, m_dir->filePath("WinOrvex Files " + today + ".txt"));
        QVERIFY(second.fileName().isEmpty());
        QCOMPARE(second.offeredFilter, QStringLiteral("Space Delimited Text (*.txt)"));
        QCOMPARE(second.exportType(), 4);
        QVERIFY(second.failures.isEmpty());
    }

    void chosenFormatsExtensionIsAdded_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("written");
        const QString csv = "Comma Separated Values (*.csv)";
        const QString tab = "Tab Delimited Text (*.txt)";
        QTest::newRow("none typed, csv") << "export" << csv << "export.csv";
        QTest::newRow("none typed, tab") << "export" << tab << "export.txt";
        QTest::newRow("trailing dot") << "export." << csv << "export.csv";
        QTest::newRow("own extension kept") << "export.dat" << csv << "export.dat";
        QTest::newRow("other format's extension kept") << "export.txt" << csv << "export.txt";
        QTest::newRow("dotted folder") << "v1.2/export" << csv << "v1.2/export.csv";
        QTest::newRow("existing file chosen as it is") << "chosen" << csv << "chosen";
    }
    void chosenFormatsExtensionIsAdded()
    {
        QFETCH(QString, typed);
        QFETCH(QString, filter);
        QFETCH(QString, written);
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("v1.2")));
        QFile chosen(m_dir->filePath(QStringLiteral("chosen")));
        QVERIFY(chosen.open(QIODevice::WriteOnly));
        chosen.close();
        ScriptedExporter exporter;
        exporter.answerFile = m_dir->filePath(typed);
        exporter.answerFilter = filter;
        QFile file;
        QVERIFY(exporter.openExportFile(file));
        file.close();
        QCOMPARE(exporter.fileName(), m_dir->filePath(written));
        QCOMPARE(file.fileName(), m_dir->filePath(written));
        QVERIFY(QFileInfo::exists(m_dir->filePath(written)));
        QVERIFY(exporter.overwriteQuestions.isEmpty());
    }

    void addedExtensionNeverOverwritesUnasked_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::newRow("kept") << false;
        QTest::newRow("replaced") << true;
    }
    void addedExtensionNeverOverwritesUnasked()
    {
        // The dialog asked about "report", which did not exist; "report.csv" does.
        QFETCH(bool, replace);
        const QString existing = m_dir->filePath(QStringLiteral("report.csv"));
        QFile old(existing);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an earlier report\n");
        old.close();
        ScriptedExporter exporter;
        exporter.answerFile = m_dir->filePath(QStringLiteral("report"));
        exporter.overwrite = replace;
        QFile file;
        QCOMPARE(exporter.openExportFile(file), replace);
        file.close();
        QCOMPARE(exporter.overwriteQuestions, QStringList{existing});
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), replace ? QByteArray() : QByteArray("an earlier report\n"));
        QCOMPARE(exporter.fileName(), replace ? existing : QString());
    }

    void filterExtension_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("extension");
        const QStringList filters = DataExporter::formatFilters();
        QTest::newRow("tab") << filters.at(0) << "txt";
        QTest::newRow("comma") << filters.at(1) << "csv";
        QTest::newRow("pipe") << filters.at(2) << "txt";
        QTest::newRow("space") << filters.at(3) << "txt";
        QTest::newRow("none") << "All Files (*)"
                              << "";
    }
    void filterExtension()
    {
        QFETCH(QString, filter);
        QFETCH(QString, extension);
        QCOMPARE(DataExporter::filterExtension(filter), extension);
    }

    void destinationIsTruncated()
    {
        const QString name = m_dir->filePath(QStringLiteral("old.csv"));
        QFile old(name);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an older and much longer export\n");
        old.close();
        ScriptedExporter exporter;
        exporter.answerFile = name;
        QFile file;
        QVERIFY(exporter.openExportFile(file));
        file.write("new\n");
        file.close();
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("new\n"));
    }

    void destinationThatCannotBeOpenedIsReported()
    {
        ScriptedExporter exporter;
        exporter.answerFile = m_dir->filePath(QStringLiteral("missing/folder/out.csv"));
        QFile file;
        QVERIFY(!exporter.openExportFile(file));
        QCOMPARE(exporter.failures, QStringList{exporter.answerFile});
        QVERIFY(!file.isOpen());
    }
};

QTEST_GUILESS_MAIN(TestDataExporter)
#include "tst_dataexporter.moc"
