// Compares DigestCalculator with `rhash --md5 --sha1` on one 512 MiB file.
// Usage: bench_digest [folder for the temporary file] [runs]
#include "files/digestcalculator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace {
constexpr qint64 FileSize = 512LL * 1024 * 1024;

bool writeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(4 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(20261210);
    for (qint64 written = 0; written < FileSize; written += block.size()) {
        generator.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        if (file.write(block) != block.size())
            return false;
    }
    return file.flush();
}

// CPU seconds (user + system) of this process or of its waited-for children.
double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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

    QTemporaryDir dir(folder + QStringLiteral("/bench_digest-XXXXXX"));
    if (!dir.isValid() || !writeFile(dir.filePath(QStringLiteral("big.bin")))) {
        std::fprintf(stderr, "cannot write the 512 MiB file in %s\n", qPrintable(folder));
        return 1;
    }
    const QString path = dir.filePath(QStringLiteral("big.bin"));

    QString ourRecord;
    QList<double> ourCpu;
    QList<double> rhashCpu;
    auto digestOnce = [&] {
        DigestCalculator calculator;
        QObject::connect(
            &calculator, &DigestCalculator::setDigestData, &calculator,
            [&](const QString &record) { ourRecord = record; }, Qt::DirectConnection);
        calculator.setFiles({path});
        QElapsedTimer timer;
        const double cpu = cpuSeconds(RUSAGE_SELF);
        timer.start();
        calculator.start();
        calculator.wait();
        ourCpu.append(cpuSeconds(RUSAGE_SELF) - cpu);
        return timer.nsecsElapsed() / 1e9;
    };
    QString rhashOutput;
    auto rhashOnce = [&] {
        QProcess rhash;
        const double cpu = cpuSeconds(RUSAGE_CHILDREN);
        QElapsedTimer timer;
        timer.start();
        rhash.start(QStringLiteral("rhash"), {QStringLiteral("--md5"), QStringLiteral("--sha1"),
                                              QStringLiteral("--printf=%{md5} %{sha1}\\n"), path});
        rhash.waitForFinished(-1);
        const double seconds = timer.nsecsElapsed() / 1e9;
        rhashCpu.append(cpuSeconds(RUSAGE_CHILDREN) - cpu);
        rhashOutput = QString::fromLatin1(rhash.readAllStandardOutput()).trimmed();
        return seconds;
    };

    // Both read the file once from the page cache first.
    digestOnce();
    rhashOnce();

    ourCpu.clear();
    rhashCpu.clear();
    QList<double> ours;
    QList<double> theirs;
    for (int i = 0; i < runs; ++i) {
        ours.append(digestOnce());
        theirs.append(rhashOnce());
    }

    const QStringList fields = ourRecord.split(QLatin1Char('|'));
    const QStringList rhashFields = rhashOutput.split(QLatin1Char(' '));
    const bool same = fields.size() == 3 && rhashFields.size() == 2 &&
                      fields.at(2) == rhashFields.at(0) && fields.at(1) == rhashFields.at(1);

    QTextStream out(stdout);
    out << "bench_digest: 512 MiB file, page cache warm, " << runs << " alternating runs\n";
    out << QStringLiteral("%1 %2 %3 %4 %5\n")
               .arg(QStringLiteral("tool"), -28)
               .arg(QStringLiteral("median s"), 10)
               .arg(QStringLiteral("best s"), 10)
               .arg(QStringLiteral("MiB/s"), 10)
               .arg(QStringLiteral("cpu s"), 10);
    auto row = [&](const QString &name, const QList<double> &times, const QList<double> &cpu) {
        out << QStringLiteral("%1 %2 %3 %4 %5\n")
                   .arg(name, -28)
                   .arg(median(times), 10, 'f', 3)
                   .arg(*std::min_element(times.cbegin(), times.cend()), 10, 'f', 3)
                   .arg(512.0 / median(times), 10, 'f', 0)
                   .arg(median(cpu), 10, 'f', 3);
    };
    row(QStringLiteral("DigestCalculator"), ours, ourCpu);
    row(QStringLiteral("rhash --md5 --sha1"), theirs, rhashCpu);
    out << QStringLiteral("ratio (median) DigestCalculator / rhash: %1 (goal <= 0.90)\n")
               .arg(median(ours) / median(theirs), 0, 'f', 2);
    out << "digests agree with rhash: " << (same ? "yes" : "NO") << "\n";
    out.flush();
    return same ? 0 : 1;
}
