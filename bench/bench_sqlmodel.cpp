// Rate of the file results table at the sizes of a full drive scan: inserting
// 100,000 files with addFile, then applying a digest record and a registry
// answer to each, then exporting the table. Prints one table.
//
//   bench_sqlmodel [rows]

#include "files/dataexporter.h"
#include "files/sqlmodel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <ctime>

namespace {
void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

QString md5For(int n)
{
    return QStringLiteral("%1").arg(n, 32, 16, QLatin1Char('0'));
}

QString sha1For(int n)
{
    return QStringLiteral("%1").arg(n, 40, 16, QLatin1Char('0'));
}

// Wall time and the process's CPU time of one phase: on a shared machine the
// CPU rate shows what the code costs, the wall rate what a user waits.
class Phase
{
public:
    Phase() : m_cpuStart(std::clock()) { m_wall.start(); }
    void print(const char *name, int rows) const
    {
        const double wall = qMax<qint64>(m_wall.elapsed(), 1) / 1000.0;
        const double cpu = qMax(double(std::clock() - m_cpuStart) / CLOCKS_PER_SEC, 0.001);
        std::printf("| %-20s | %8d | %8.3f | %11.0f | %8.3f | %11.0f |\n", name, rows, wall,
                    rows / wall, cpu, rows / cpu);
    }

private:
    QElapsedTimer m_wall;
    std::clock_t m_cpuStart;
};
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietDebug);
    const int rows = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;

    // Real, empty files: addFile reads each one's size, as in a scan.
    QTemporaryDir dir;
    QStringList paths;
    paths.reserve(rows);
    for (int i = 0; i < rows; ++i) {
        const QString folder = dir.filePath(QStringLiteral("d%1").arg(i / 1000));
        if (i % 1000 == 0)
            QDir().mkpath(folder);
        const QString path = QStringLiteral("%1/file%2.exe").arg(folder).arg(i);
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        paths.append(path);
    }

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    if (!db.open())
        return 1;
    int status = 0;
    {
        SqlModel model;
        std::printf("| %-20s | %8s | %8s | %11s | %8s | %11s |\n", "phase", "rows", "wall s",
                    "rows/s wall", "CPU s", "rows/s CPU");
        std::printf("|----------------------|----------|----------|-------------|----------|----"
                    "---------|\n");

        {
            Phase phase;
            for (const QString &path : std::as_const(paths))
                model.addFile(path, 1);
            phase.print("addFile", rows);
        }

        {
            Phase phase;
            for (int i = 0; i < rows; ++i)
                model.setDigestData(
                    QStringLiteral("%1|%2|%3").arg(paths.at(i), sha1For(i), md5For(i)));
            phase.print("setDigestData", rows);
        }

        // One file in a hundred is malware, which also looks its paths up.
        {
            Phase phase;
            for (int i = 0; i < rows; ++i)
                model.setOrvexDataPacked(QStringLiteral("%1|%2|2024-05-06 07:08:09")
                                             .arg(md5For(i))
                                             .arg(i % 100 == 0 ? 40 : -1));
            phase.print("setOrvexDataPacked", rows);
        }

        // The same answers as the Files tab hands them over: a thousand a call.
        {
            QSqlQuery clear;
            clear.exec(QStringLiteral("UPDATE items SET detection_rate = NULL, last_seen = NULL, "
                                      "check_state = NULL, status = NULL, scan_time = NULL"));
            Phase phase;
            QList<QString> answers;
            for (int i = 0; i < rows; ++i) {
                answers << QStringLiteral("%1|%2|2024-05-06 07:08:09")
                               .arg(md5For(i))
                               .arg(i % 100 == 0 ? 40 : -1);
                if (answers.size() == 1000 || i == rows - 1)
                    model.setOrvexDataPackedBatch(std::exchange(answers, {}));
            }
            phase.print("answers, 1000 a call", rows);
        }

        {
            Phase phase;
            QString text;
            {
                QTextStream stream(&text);
                QSqlQuery query;
                query.setForwardOnly(true);
                query.exec(QStringLiteral("SELECT * FROM items"));
                DataExporter exporter;
                exporter.exportItems(query, stream);
            }
            phase.print("exportItems (CSV)", rows);
        }

        // The effects must be complete, or the rates mean nothing.
        QSqlQuery check;
        check.exec(
            QStringLiteral("SELECT COUNT(*) FROM items WHERE md5 NOTNULL AND check_state = 4"));
        if (!check.next() || check.value(0).toInt() != rows) {
            std::fprintf(stderr, "not every row was digested and answered\n");
            status = 2;
        }
        if (model.maliciousEntryCount() != (rows + 99) / 100) {
            std::fprintf(stderr, "wrong malicious count\n");
            status = 2;
        }
    }
    db.close();
    return status;
}
