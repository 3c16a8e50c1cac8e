#include "server/serveroptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cmath>

namespace {

QString describePortOption(const QString &service)
{
    return QStringLiteral("Serve %1 on this TCP port (0 chooses a free port).").arg(service);
}

} // namespace

ServerOptions ServerOptions::fromArguments(const QStringList &arguments)
{
    ServerOptions options;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "WinOrvex reference server: a hash registry answering from a hash list, and optional "
        "update, false-positive report and upload services.\n"
        "Each service prints \"<service> listening on <address>:<port>\" on standard output "
        "once it listens. SIGHUP reloads the hash list and the update offer and reopens the "
        "report file; a list that cannot be read, whose last line has no line end, or that "
        "would replace listed digests with none is refused, and the one in use is kept."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                    QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption registryPort(
        QStringLiteral("registry-port"),
        QStringLiteral("Registry TCP port (default 43; 0 chooses a free port)."),
        QStringLiteral("PORT"), QString::number(defaultRegistryPort));
    const QCommandLineOption hashList(
        QStringLiteral("hash-list"),
        QStringLiteral("Hash list: \"<md5> <detection rate> [<last-seen unix time>]\" per "
                       "line. Without it every digest answers NO_DATA."),
        QStringLiteral("FILE"));
    const QCommandLineOption acceptEmptyHashList(
        QStringLiteral("accept-empty-hash-list"),
        QStringLiteral("Let SIGHUP replace a hash list that holds digests with one that holds "
                       "none (an empty or comments-only file). Without it such a list is "
                       "refused and the list in use is kept, so that a truncated file does not "
                       "switch detection off."));
    const QCommandLineOption updatePort(QStringLiteral("update-port"),
                                        describePortOption(QStringLiteral("update checks")),
                                        QStringLiteral("PORT"));
    const QCommandLineOption updateOffer(
        QStringLiteral("update-offer"),
        QStringLiteral("Update offer: the version on the first line, the download address on "
                       "the second, release notes (HTML) after. Without it every client is up "
                       "to date."),
        QStringLiteral("FILE"));
    const QCommandLineOption reportPort(QStringLiteral("report-port"),
                                        describePortOption(QStringLiteral("false-positive "
                                                                          "reports")),
                                        QStringLiteral("PORT"));
    const QCommandLineOption reportFile(
        QStringLiteral("report-file"),
        QStringLiteral("File that every report is appended to, one line each."),
        QStringLiteral("FILE"));
    const QCommandLineOption uploadPort(QStringLiteral("upload-port"),
                                        describePortOption(QStringLiteral("uploads")),
                                        QStringLiteral("PORT"));
    const QCommandLineOption uploadDir(
        QStringLiteral("upload-dir"),
        QStringLiteral("Folder where uploads are stored under their SHA-256."),
        QStringLiteral("DIR"));
    const QCommandLineOption maxDigests(
        QStringLiteral("max-digests"),
        QStringLiteral("Most digest lines in one registry request (default %1).")
            .arg(ServerLimits::defaultMaxDigests),
        QStringLiteral("COUNT"));
    const QCommandLineOption maxLineLength(
        QStringLiteral("max-line-length"),
        QStringLiteral("Longest registry or update request line in bytes (default %1).")
            .arg(ServerLimits::defaultMaxLineLength),
        QStringLiteral("BYTES"));
    const QCommandLineOption idleTimeout(
        QStringLiteral("idle-timeout"),
        QStringLiteral("Close a connection that sends and reads nothing for this long, in "
                       "seconds; fractions allowed (default %1).")
            .arg(ServerLimits::defaultIdleTimeoutMs / 1000),
        QStringLiteral("SECONDS"));
    const QCommandLineOption requestTimeout(
        QStringLiteral("request-timeout"),
        QStringLiteral("A request (registry request, update line, report or upload) must be "
                       "complete this many seconds after its first byte, plus one second for "
                       "every --min-request-rate bytes moved meanwhile; fractions allowed "
                       "(default %1).")
            .arg(ServerLimits::defaultRequestTimeoutMs / 1000),
        QStringLiteral("SECONDS"));
    const QCommandLineOption minRequestRate(
        QStringLiteral("min-request-rate"),
        QStringLiteral("Bytes per second that earn a request one more second (default %1).")
            .arg(ServerLimits::defaultMinRequestRate),
        QStringLiteral("BYTES"));
    const QCommandLineOption displaceAfter(
        QStringLiteral("displace-after"),
        QStringLiteral("When every connection place is taken, a new client displaces the "
                       "slowest connection that has gone this many seconds without completing "
                       "a request and is not sending an answer; fractions allowed (default %1).")
            .arg(ServerLimits::defaultDisplaceAfterMs / 1000),
        QStringLiteral("SECONDS"));
    const QCommandLineOption maxConnections(
        QStringLiteral("max-connections"),
        QStringLiteral("Most open connections per service; see --displace-after for what a "
                       "client beyond them meets (default %1).")
            .arg(ServerLimits::defaultMaxConnections),
        QStringLiteral("COUNT"));
    const QCommandLineOption maxUploadSize(QStringLiteral("max-upload-size"),
                                           QStringLiteral("Largest upload in bytes (default %1).")
                                               .arg(ServerLimits::defaultMaxUploadSize),
                                           QStringLiteral("BYTES"));
    const QCommandLineOption maxReportSize(
        QStringLiteral("max-report-size"),
        QStringLiteral("Largest false-positive report in bytes (default %1).")
            .arg(ServerLimits::defaultMaxReportSize),
        QStringLiteral("BYTES"));
    parser.addOptions({listen, registryPort, hashList, acceptEmptyHashList, updatePort, updateOffer,
                       reportPort, reportFile, uploadPort, uploadDir, maxDigests, maxLineLength,
                       idleTimeout, requestTimeout, minRequestRate, displaceAfter, maxConnections,
                       maxUploadSize, maxReportSize});

    auto fail = [&options](const QString &why) {
        options.action = Action::Fail;
        options.message = why;
        return options;
    };

    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (!parser.positionalArguments().isEmpty()) {
        return fail(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
    }
    if (parser.isSet(help)) {
        options.action = Action::ShowHelp;
        options.message = parser.helpText();
        return options;
    }
    if (parser.isSet(version)) {
        options.action = Action::ShowVersion;
        options.message = QStringLiteral("%1 %2").arg(QCoreApplication::applicationName(),
                                                      QCoreApplication::applicationVersion());
        return options;
    }

    QString error;
    auto port = [&](const QCommandLineOption &option) -> std::optional<quint16> {
        bool ok = false;
        const uint value = parser.value(option).toUInt(&ok);
        if (!ok || value > 65535) {
            error = QStringLiteral("--%1 needs a port from 0 to 65535, not \"%2\"")
                        .arg(option.names().first(), parser.value(option));
            return std::nullopt;
        }
        return static_cast<quint16>(value);
    };
    auto count = [&](const QCommandLineOption &option, qint64 fallback, qint64 maximum) {
        if (!parser.isSet(option))
            return fallback;
        bool ok = false;
        const qint64 value = parser.value(option).toLongLong(&ok);
        if (!ok || value < 1 || value > maximum) {
            error = QStringLiteral("--%1 needs a whole number from 1 to %2, not \"%3\"")
                        .arg(option.names().first())
                        .arg(maximum)
                        .arg(parser.value(option));
            return fallback;
        }
        return value;
    };

    if (!options.listenAddress.setAddress(parser.value(listen)))
        return fail(
            QStringLiteral("--listen needs an IP address, not \"%1\"").arg(parser.value(listen)));
    if (const auto value = port(registryPort))
        options.registryPort = *value;
    options.hashListPath = parser.value(hashList);
    options.acceptEmptyHashList = parser.isSet(acceptEmptyHashList);
    if (parser.isSet(updatePort))
        options.updatePort = port(updatePort);
    if (parser.isSet(reportPort))
        options.reportPort = port(reportPort);
    if (parser.isSet(uploadPort))
        options.uploadPort = port(uploadPort);
    if (!error.isEmpty())
        return fail(error);
    options.updateOfferPath = parser.value(updateOffer);
    options.reportFilePath = parser.value(reportFile);
    options.uploadDir = parser.value(uploadDir);

    if (!options.updatePort && parser.isSet(updateOffer))
        return fail(QStringLiteral("--update-offer needs --update-port"));
    if (options.reportPort.has_value() != parser.isSet(reportFile))
        return fail(QStringLiteral("--report-port and --report-file go together"));
    if (options.uploadPort.has_value() != parser.isSet(uploadDir))
        return fail(QStringLiteral("--upload-port and --upload-dir go together"));

    ServerLimits &limits = options.limits;
    limits.maxDigests = static_cast<int>(count(maxDigests, limits.maxDigests, 100000000));
    limits.maxLineLength =
        static_cast<int>(count(maxLineLength, limits.maxLineLength, 16 * 1024 * 1024));
    limits.maxConnections = static_cast<int>(count(maxConnections, limits.maxConnections, 100000));
    limits.maxUploadSize = count(maxUploadSize, limits.maxUploadSize, qint64(1) << 31);
    limits.maxReportSize =
        static_cast<int>(count(maxReportSize, limits.maxReportSize, 16 * 1024 * 1024));
    limits.minRequestRate =
        static_cast<int>(count(minRequestRate, limits.minRequestRate, 1024 * 1024 * 1024));
    auto milliseconds = [&](const QCommandLineOption &option, int fallback, double minimum) {
        if (!parser.isSet(option))
            return fallback;
        bool ok = false;
        const double seconds = parser.value(option).toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds < minimum || seconds > 86400) {
            error = QStringLiteral("--%1 needs seconds from %2 to 86400, not \"%3\"")
                        .arg(option.names().first())
                        .arg(minimum)
                        .arg(parser.value(option));
            return fallback;
        }
        return static_cast<int>(std::lround(seconds * 1000));
    };
    limits.idleTimeoutMs = milliseconds(idleTimeout, limits.idleTimeoutMs, 0.001);
    limits.requestTimeoutMs = milliseconds(requestTimeout, limits.requestTimeoutMs, 0.001);
    limits.displaceAfterMs = milliseconds(displaceAfter, limits.displaceAfterMs, 0);
    if (!error.isEmpty())
        return fail(error);
    return options;
}
