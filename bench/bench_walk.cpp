// Compares FileFinder with `find DIR -type f` on a tree of 100,000 files.
// Usage: bench_walk [folder for the temporary tree] [runs]
#include "files/drivescanner.h"
#include "files/filefinder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr int TopFolders = 10;
constexpr int SubFolders = 100;
constexpr int FilesPerFolder = 100; // 10 * 100 * 100 = 100,000 files

bool makeTree(const QString &root)
{
    for (int top = 0; top < TopFolders; ++top) {
        for (int sub = 0; sub < SubFolders; ++sub) {
            const QString folder = QStringLiteral("%1/t%2/s%3").arg(root).arg(top).arg(sub);
            if (!QDir().mkpath(folder))
                return false;
            const QByteArray prefix = QFile::encodeName(folder);
            for (int i = 0; i < FilesPerFolder; ++i) {
                const QByteArray name = prefix + "/file" + QByteArray::number(i) + ".bin";
                const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                if (fd < 0)
                    return false;
                ::close(fd);
            }
        }
    }
    return true;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qSetMessagePattern(QStringLiteral("%{if-warning}%{message}%{endif}"));
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp");
    const int runs = argc > 2 ? qMax(1, atoi(argv[2])) : 5;

    QTemporaryDir dir(folder + QStringLiteral("/bench_walk-XXXXXX"));
    if (!dir.isValid() || !makeTree(dir.path())) {
        std::fprintf(stderr, "cannot build the tree in %s\n", qPrintable(folder));
        return 1;
    }

    qsizetype finderCount = 0;
    auto finderOnce = [&] {
        FileFinder finder;
        QObject::connect(
            &finder, &FileFinder::filesFound, &finder,
            [&](const QList<QString> &files) { finderCount = files.size(); }, Qt::DirectConnection);
        finder.setItems({dir.path()});
        QElapsedTimer timer;
        timer.start();
        finder.start();
        finder.wait();
        return timer.nsecsElapsed() / 1e9;
    };
    // The whole drive scan as the file tab sees it: every file crosses to this
    // thread as a queued signal before the scan counts as finished.
    qsizetype scannerCount = 0;
    auto scannerOnce = [&] {
        DriveScanner scanner;
        scanner.setSwapFileSource([] { return QList<QString>(); });
        scannerCount = 0;
        QObject::connect(&scanner, &DriveScanner::fileFound, [&] { ++scannerCount; });
        QEventLoop loop;
        QObject::connect(&scanner, &DriveScanner::scanFinished, &loop, &QEventLoop::quit);
        scanner.setDrives({dir.path()});
        QElapsedTimer timer;
        timer.start();
        scanner.start();
        loop.exec();
        const double seconds = timer.nsecsElapsed() / 1e9;
        scanner.wait();
        return seconds;
    };
    qsizetype findCount = 0;
    auto findOnce = [&] {
        QProcess find;
        QElapsedTimer timer;
        timer.start();
        find.start(QStringLiteral("find"),
                   {dir.path(), QStringLiteral("-type"), QStringLiteral("f")});
        QByteArray output;
        while (find.state() != QProcess::NotRunning || find.bytesAvailable() > 0) {
            find.waitForReadyRead(100);
            output += find.readAllStandardOutput();
        }
        find.waitForFinished(-1);
        const double seconds = timer.nsecsElapsed() / 1e9;
        findCount = output.count('\n');
        return seconds;
    };

    // Warm the dentry and inode caches for both.
    finderOnce();
    findOnce();

    QList<double> finder;
    QList<double> scanner;
    QList<double> find;
    for (int i = 0; i < runs; ++i) {
        finder.append(finderOnce());
        find.append(findOnce());
        scanner.append(scannerOnce());
    }

    QTextStream out(stdout);
    out << "bench_walk: " << TopFolders * SubFolders * FilesPerFolder << " files in "
        << TopFolders * SubFolders + TopFolders << " folders, caches warm, " << runs
        << " alternating runs\n";
    out << QStringLiteral("%1 %2 %3 %4\n")
               .arg(QStringLiteral("walker"), -36)
               .arg(QStringLiteral("median s"), 10)
               .arg(QStringLiteral("best s"), 10)
               .arg(QStringLiteral("files"), 8);
    auto row = [&](const QString &name, const QList<double> &times, qsizetype count) {
        out << QStringLiteral("%1 %2 %3 %4\n")
                   .arg(name, -36)
                   .arg(median(times), 10, 'f', 3)
                   .arg(*std::min_element(times.cbegin(), times.cend()), 10, 'f', 3)
                   .arg(count, 8);
    };
    row(QStringLiteral("FileFinder"), finder, finderCount);
    row(QStringLiteral("find DIR -type f"), find, findCount);
    row(QStringLiteral("DriveScanner full scan (queued)"), scanner, scannerCount);
    out << QStringLiteral("ratio (median) FileFinder / find: %1 (goal <= 1.50)\n")
               .arg(median(finder) / median(find), 0, 'f', 2);
    out.flush();
    return finderCount == findCount ? 0 : 1;
}
