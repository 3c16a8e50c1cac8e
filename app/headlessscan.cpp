#include "app/headlessscan.h"

#include "app/applicationversion.h"

#include "files/dataexporter.h"
#include "files/digestcalculator.h"
#include "files/drivescanner.h"
#include "files/filescanlog.h"
#include "files/filescanpipeline.h"
#include "files/slicedrelay.h"
#include "files/sqlmodel.h"
#include "platform/descriptorwriter.h"
#include "platform/filename.h"
#include "platform/filestatus.h"
#include "platform/serveraddress.h"
#include "platform/stopsignalwatcher.h"
#include "platform/terminal.h"
#include "registry/orvexcache.h"
#include "registry/orvexcheckstate.h"
#include "registry/orvexhandler.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileDevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextStream>
#include <QTimer>

#include <climits>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
const QString ProgramName = QStringLiteral("winorvex");

constexpr int ProgressIntervalMs = 100;

const QString ItemsTable = QStringLiteral("items");

// The options that ask for this mode instead of the window.
bool isHeadlessOption(const QString &argument)
{
    static const QStringList options = {QStringLiteral("--scan"),     QStringLiteral("--help"),
                                        QStringLiteral("-h"),         QStringLiteral("-?"),
                                        QStringLiteral("--help-all"), QStringLiteral("--version"),
                                        QStringLiteral("-v")};
    return options.contains(argument);
}

// The scan log's sentence as plain text. Only the single-file sentence has
// tags, "<b>" and "</b>" around its last words, after the file's name (which
// may itself hold "<b>"); any other sentence is plain already.
QString plainSentence(QString sentence, bool singleFile)
{
    if (!singleFile)
        return sentence;
    const qsizetype close = sentence.lastIndexOf(QLatin1String("</b>"));
    if (close < 0)
        return sentence;
    sentence.remove(close, 4);
    const qsizetype open = sentence.lastIndexOf(QLatin1String("<b>"), close);
    if (open >= 0)
        sentence.remove(open, 3);
    return sentence;
}

QJsonValue jsonText(const QVariant &value)
{
    return value.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(value.toString());
}

QJsonValue jsonInteger(const QVariant &value)
{
    return value.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(value.toLongLong());
}

// A name for a line of output: one line whatever bytes it holds (a line break
// in a name could forge a verdict line), bytes that are not text as \xNN.
QString shown(const QString &path)
{
    return FileName::readable(path);
}
} // namespace

// The objects of one scan, made as the main window and the Files tab make them,
// on the default in-memory database connection. Members go in reverse order of
// their making; the connection closes last.
struct HeadlessScan::Session
{
    Session()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        if (!db.open())
            qCritical() << "HeadlessScan::Session() Unable to create the database!";
        model = std::make_unique<SqlModel>();
        pipeline = std::make_unique<FileScanPipeline>(model.get());
        cache = std::make_unique<OrvexCache>();
    }

    ~Session()
    {
        if (handler)
            handler->userRequestStop();
        handler.reset();
        cache.reset();
        pipeline.reset();
        model.reset();
        QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }

    int count(const QString &statement) const
    {
        QSqlQuery query;
        query.setForwardOnly(true);
        if (!query.exec(statement)) {
            SqlModel::logSqlError(query);
            return 0;
        }
        return query.next() ? query.value(0).toInt() : 0;
    }

    std::unique_ptr<SqlModel> model;
    std::unique_ptr<FileScanPipeline> pipeline;
    std::unique_ptr<OrvexCache> cache;
    std::unique_ptr<OrvexHandler> handler;
};

HeadlessScan::HeadlessScan(QIODevice *out, QIODevice *err, QObject *parent)
    : QObject(parent), m_out(out), m_err(err), m_lines(err)
{
    qRegisterMetaType<QList<QString>>("QList<QString>");
    m_progressTimer.setInterval(ProgressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, [this] { showProgress(); });
}

HeadlessScan::~HeadlessScan()
{
    // Destroyed mid-scan (the application is going away): stop the workers so
    // that their threads end quickly; their objects wait for them.
    for (Session *session : {m_session.get(), m_endingSession.get()}) {
        if (session && session->handler)
            session->handler->userRequestStop();
    }
}

bool HeadlessScan::handlesArguments(int argc, char **argv)
{
    return handlesArguments(FileName::fromArguments(argc, argv));
}

bool HeadlessScan::handlesArguments(const QStringList &arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--"))
            return false;
        if (isHeadlessOption(arguments.at(i)))
            return true;
    }
    return false;
}

QString HeadlessScan::registryAddressText()
{
    const ServerAddress address = ServerAddress::registry();
    const QString host = address.host.contains(QLatin1Char(':'))
                             ? QStringLiteral("[%1]").arg(address.host)
                             : address.host;
    return QStringLiteral("%1:%2").arg(host).arg(address.port);
}

int HeadlessScan::run(int &argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("WinOrvex"));
    QCoreApplication::setApplicationVersion(applicationVersion());
    // Paths are bytes: QCoreApplication::arguments() would decode a name that
    // is not UTF-8 lossily, and the file could not be found by it.
    const QStringList arguments = FileName::fromArguments(argc, argv);

    // The workers' log lines are for developers; standard error carries this
    // mode's own messages. --verbose (or QT_LOGGING_RULES) brings them back.
    const qsizetype end = arguments.indexOf(QStringLiteral("--"));
    if (!arguments.mid(0, end < 0 ? arguments.size() : end).contains(QStringLiteral("--verbose")))
        QLoggingCategory::setFilterRules(
            QStringLiteral("*.debug=false\n*.info=false\n*.warning=false"));

    // Standard output says why a write failed, a closed pipe included.
    DescriptorWriter out(STDOUT_FILENO);
    QFile err;
    if (!out.open(QIODevice::WriteOnly) ||
        !err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered,
                  QFileDevice::DontCloseHandle))
        return Failed;

    HeadlessScan scan(&out, &err);
    scan.setProgressShown(Terminal::isTerminal(STDERR_FILENO));
    StopSignalWatcher stopSignals;
    connect(&stopSignals, &StopSignalWatcher::stopRequested, &scan,
            &HeadlessScan::handleStopSignal);
    connect(&scan, &HeadlessScan::finished, &app,
            [](int status) { QCoreApplication::exit(status); });
    QTimer::singleShot(0, &scan, [&scan, arguments] { scan.start(arguments); });
    return QCoreApplication::exec();
}

bool HeadlessScan::parse(const QStringList &arguments, QStringList *paths)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        tr("Checks files against the malware database without opening a window: folders are "
           "walked, every file is digested (MD5 and SHA-1) and its MD5 is looked up in the "
           "hash registry (%1, set WINORVEX_REGISTRY=host:port to use another).\n\n"
           "Exit status: 0 nothing malicious found, 1 malware found, 2 an error (a path that "
           "cannot be reached, a file or folder that could not be read, a file that was "
           "skipped or changed while it was read, the registry could not be reached, or the "
           "scan was stopped with Ctrl+C or SIGTERM).\n\n"
           "Without --scan, --help or --version, winorvex opens its window.")
            .arg(registryAddressText()));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption scan(QStringLiteral("scan"),
                                  tr("Scan the given files and folders (full scan)."));
    const QCommandLineOption quick(
        QStringLiteral("quick"),
        tr("Quick scan: only programs, libraries and the kinds of files malware hides in, up "
           "to 10 MB."));
    const QCommandLineOption format(
        QStringLiteral("format"),
        tr("Output: text (one line per file and a summary), csv or tsv (the Export format), "
           "json. Default text."),
        QStringLiteral("FORMAT"), QStringLiteral("text"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     tr("Write the program's log to standard error."));
    parser.addOptions({scan, quick, format, verbose});
    parser.addPositionalArgument(QStringLiteral("PATH"), tr("Files and folders to scan."),
                                 QStringLiteral("PATH..."));

    QTextStream out(m_out);
    auto usageError = [this](const QString &text) {
        message(tr("%1: %2\nTry '%1 --help'.").arg(ProgramName, text));
        finish(Failed);
        return false;
    };

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        out << parser.helpText();
        out.flush();
        finish(NothingMalicious);
        return false;
    }
    if (parser.isSet(version)) {
        out << QStringLiteral("%1 %2\n").arg(QStringLiteral("WinOrvex"), applicationVersion());
        out.flush();
        finish(NothingMalicious);
        return false;
    }
    if (!parser.isSet(scan))
        return usageError(tr("nothing to do; give --scan and the files or folders to scan"));

    const QString formatName = parser.value(format).toLower();
    if (formatName == QLatin1String("text"))
        m_format = Format::Text;
    else if (formatName == QLatin1String("csv"))
        m_format = Format::Csv;
    else if (formatName == QLatin1String("tsv"))
        m_format = Format::Tsv;
    else if (formatName == QLatin1String("json"))
        m_format = Format::Json;
    else
        return usageError(
            tr("unknown format '%1'; use text, csv, tsv or json").arg(parser.value(format)));

    m_quick = parser.isSet(quick);
    *paths = parser.positionalArguments();
    if (paths->isEmpty())
        return usageError(tr("--scan needs at least one file or folder"));
    return true;
}

void HeadlessScan::start(const QStringList &arguments)
{
    if (m_state != State::Idle) {
        qWarning() << "HeadlessScan::start() called while a scan runs";
        return;
    }
    qDebug() << "HeadlessScan::start() called";
    QStringList paths;
    if (!parse(arguments, &paths))
        return;

    QStringList scannable;
    for (const QString &path : std::as_const(paths)) {
        const FileStatus status = FileStatus::of(path);
        if (!status.exists()) {
            // The system's reason: a symbolic link loop or a folder on the way
            // that may not be entered is no missing file.
            message(tr("%1: cannot access '%2': %3")
                        .arg(ProgramName, shown(path), status.errorString()));
            m_pathErrors = true;
        } else if (!status.isRegular() && !status.isDirectory()) {
            // A FIFO or a device would never end, or block, when read.
            message(tr("%1: '%2' is neither a regular file nor a folder; skipped")
                        .arg(ProgramName, shown(path)));
            m_pathErrors = true;
        } else {
            scannable.append(path);
        }
    }
    if (scannable.isEmpty()) {
        finish(Failed);
        return;
    }
    startScan(scannable);
}

void HeadlessScan::startScan(const QStringList &paths)
{
    m_session = std::make_unique<Session>();
    FileScanPipeline *pipeline = m_session->pipeline.get();

    connect(pipeline->scanLog(), &FileScanLog::scanSummary, this,
            [this](const QString &summary) { m_summary = summary; });
    connect(pipeline, &FileScanPipeline::progressStatus, this, &HeadlessScan::handleStatus);
    connect(pipeline, &FileScanPipeline::walkFinished, this,
            [this] { m_walkMs = m_phaseTimer.restart(); });
    connect(pipeline, &FileScanPipeline::digestStarting, this, &HeadlessScan::handleDigestStarting);
    connect(pipeline, &FileScanPipeline::queryRequested, this, &HeadlessScan::sendDigestsToOrvex);
    connect(pipeline, &FileScanPipeline::queryStopRequested, this, [this] {
        if (m_session && m_session->handler)
            m_session->handler->userRequestStop();
    });
    connect(pipeline, &FileScanPipeline::finished, this, &HeadlessScan::finishScan);
    connect(pipeline, &FileScanPipeline::aborted, this, &HeadlessScan::finishScan);
    // Nothing the walk could not see into, and no file it could not read,
    // passes in silence: each is named as it comes and the scan is not clean.
    connect(pipeline, &FileScanPipeline::folderUnreadable, this,
            [this](const QString &path, const QString &reason) {
                message(
                    tr("%1: cannot read folder '%2': %3").arg(ProgramName, shown(path), reason));
                m_folderErrors = true;
            });
    connect(pipeline, &FileScanPipeline::fileUnreadable, this,
            [this](const QString &path, const QString &reason) {
                message(tr("%1: cannot read '%2': %3").arg(ProgramName, shown(path), reason));
            });

    QList<QString> items;
    for (const QString &path : paths)
        items.append(FileName::absolute(path));
    m_singleFile = items.size() == 1 && FileStatus::of(items.first()).isRegular();

    m_state = State::Scanning;
    m_phaseTimer.start();
    pipeline->start(items, m_quick ? FileScanPipeline::QuickScan : FileScanPipeline::FullScan);
    showProgress();
    if (m_progressShown)
        m_progressTimer.start();
}

void HeadlessScan::handleDigestStarting(QList<QString> paths)
{
    if (!paths.isEmpty() || !m_session)
        return;
    // Scan items that could not be read were named when the walk met them.
    const QString text = m_session->pipeline->scanLog()->emptyScanText(false);
    if (!text.isEmpty())
        message(text);
}

void HeadlessScan::sendDigestsToOrvex(QList<QString> digests)
{
    qDebug().noquote() << QStringLiteral(
                              "HeadlessScan::sendDigestsToOrvex() called with %1 digests")
                              .arg(digests.size());
    m_digestMs = m_phaseTimer.restart();

    // One handler for the whole list, as the main window starts one per query,
    // and wired the same way: the answers and then the end reach the pipeline
    // through a relay, a slice per turn of the event loop.
    m_session->handler = std::make_unique<OrvexHandler>(m_session->cache.get());
    OrvexHandler *handler = m_session->handler.get();
    QPointer<FileScanPipeline> pipeline(m_session->pipeline.get());
    auto *relay = new SlicedRelay(pipeline);
    relay->forward(handler, &OrvexHandler::setOrvexDataPacked, [pipeline](const QString &record) {
        if (pipeline)
            pipeline->applyAnswer(record);
    });
    relay->forward(handler, &OrvexHandler::digestUnanswered, [pipeline](const QString &md5) {
        if (pipeline)
            pipeline->applyUnanswered(md5);
    });
    connect(
        handler, &QThread::finished, relay,
        [relay, pipeline] {
            relay->post([pipeline] {
                if (pipeline)
                    pipeline->handleQueryFinished();
            });
        },
        Qt::DirectConnection);
    connect(handler, &OrvexHandler::automaticReconnectFailed, this,
            &HeadlessScan::handleAutomaticReconnectFailed);
    connect(handler, &ProgressInterface::progressStatus, this, &HeadlessScan::handleStatus);
    connect(handler, &OrvexHandler::connectionMessage, this, &HeadlessScan::handleStatus);
    handler->sendQuery(digests);
}

void HeadlessScan::handleAutomaticReconnectFailed()
{
    if (!isRunning() || m_registryFailed || m_stopRequested)
        return;
    // Nobody can press Retry here: give up and say where the registry was sought,
    // once: the progress line no longer repeats the connection's trouble.
    m_registryFailed = true;
    m_status.clear();
    message(tr("%1: could not reach the malware database at %2 after repeated attempts; set "
               "WINORVEX_REGISTRY=host:port to use another registry")
                .arg(ProgramName, registryAddressText()));
    m_session->pipeline->giveUpQuery();
}

void HeadlessScan::handleStatus(QString status)
{
    if (m_registryFailed)
        return;
    // Drawn with the next progress line.
    m_status = status;
}

void HeadlessScan::handleStopSignal(int signalNumber)
{
    if (!isRunning() || m_stopRequested)
        return;
    const QString name = signalNumber == SIGINT    ? QStringLiteral("SIGINT")
                         : signalNumber == SIGTERM ? QStringLiteral("SIGTERM")
                                                   : QString::number(signalNumber);
    message(tr("%1: %2 received").arg(ProgramName, name));
    userRequestStop();
}

void HeadlessScan::userRequestStop()
{
    if (!isRunning() || m_stopRequested)
        return;
    qDebug() << "HeadlessScan::userRequestStop() called";
    m_stopRequested = true;
    message(tr("%1: stopping the scan (Ctrl+C again quits at once)").arg(ProgramName));
    m_session->pipeline->userRequestStop();
}

void HeadlessScan::finishScan()
{
    if (m_state != State::Scanning)
        return;
    m_state = State::Done;
    m_progressTimer.stop();
    m_queryMs = m_session->handler ? m_phaseTimer.restart() : 0;
    qDebug().noquote() << QStringLiteral("HeadlessScan::finishScan() walk %1 ms, digests %2 ms, "
                                         "registry %3 ms")
                              .arg(m_walkMs)
                              .arg(m_digestMs)
                              .arg(m_queryMs);
    // The pipeline has told the scan log and, after a user's stop, removed the
    // files the registry had not answered; a registry that could not be reached
    // leaves them listed as not checked.
    showProgress();
    endProgress();
    writeResults();

    Session &s = *m_session;
    int status = NothingMalicious;
    if (m_stopRequested || m_registryFailed)
        status = Failed;
    else if (s.model->maliciousEntryCount() > 0)
        status = MalwareFound;
    else if (m_pathErrors || m_folderErrors || m_outputFailed ||
             s.count(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE check_state IS NOT %2")
                         .arg(ItemsTable)
                         .arg(int(Checked))) > 0)
        status = Failed;
    finish(status);
}

void HeadlessScan::writeResults()
{
    QTextStream out(m_out);
    switch (m_format) {
    case Format::Text:
        writeText(out);
        break;
    case Format::Csv:
        writeDelimited(out, DataExporter::CommaSeparated);
        break;
    case Format::Tsv:
        writeDelimited(out, DataExporter::TabDelimited);
        break;
    case Format::Json:
        writeJson(out);
        break;
    }
    out.flush();
    // A full disk or a closed pipe must not pass for a clean result.
    bool written = out.status() == QTextStream::Ok;
    if (auto *file = qobject_cast<QFileDevice *>(m_out))
        written = file->flush() && written;
    if (!written) {
        m_outputFailed = true;
        message(tr("%1: could not write the results: %2").arg(ProgramName, m_out->errorString()));
    }
    // The scan log shows names readably already.
    if (m_format != Format::Text && m_progressShown && !m_summary.isEmpty())
        message(plainSentence(m_summary, m_singleFile));
}

void HeadlessScan::writeText(QTextStream &out)
{
    QSqlQuery rows;
    rows.setForwardOnly(true);
    if (!rows.exec(QStringLiteral("SELECT path, detection_rate, check_state, status FROM %1 "
                                  "ORDER BY id")
                       .arg(ItemsTable))) {
        SqlModel::logSqlError(rows);
        message(tr("%1: unable to query the database").arg(ProgramName));
        return;
    }
    while (rows.next()) {
        const QVariant state = rows.value(2);
        const QVariant statusValue = rows.value(3);
        // A file found but never answered has no status of its own.
        const QString status =
            statusValue.isNull() ? orvexCheckStateText(NotChecked) : statusValue.toString();
        QString line = QStringLiteral("%1: %2").arg(shown(rows.value(0).toString()), status);
        const QVariant rate = rows.value(1);
        if (state.toInt() == Checked && !rate.isNull() && rate.toInt() > 0)
            line += tr(" (detection rate %1%)").arg(rate.toInt());
        out << line << '\n';
    }
    if (!m_summary.isEmpty())
        out << plainSentence(m_summary, m_singleFile) << '\n';
}

void HeadlessScan::writeDelimited(QTextStream &out, int exportType)
{
    QSqlQuery rows;
    rows.setForwardOnly(true);
    if (!rows.exec(QStringLiteral("SELECT * FROM %1").arg(ItemsTable))) {
        SqlModel::logSqlError(rows);
        message(tr("%1: unable to query the database").arg(ProgramName));
        return;
    }
    DataExporter exporter;
    exporter.setExportType(exportType);
    exporter.exportItems(rows, out);
}

void HeadlessScan::writeJson(QTextStream &out)
{
    QSqlQuery rows;
    rows.setForwardOnly(true);
    if (!rows.exec(QStringLiteral("SELECT name, path, md5, sha1, bytes, detection_rate, "
                                  "last_seen, check_state, status FROM %1 ORDER BY id")
                       .arg(ItemsTable))) {
        SqlModel::logSqlError(rows);
        message(tr("%1: unable to query the database").arg(ProgramName));
        return;
    }
    // Written a record at a time as the table is read, laid out as
    // QJsonDocument lays out an indented array: a scan of a whole drive never
    // holds its document in memory.
    out << "[\n";
    bool first = true;
    while (rows.next()) {
        QJsonObject file;
        file.insert(QStringLiteral("name"), jsonText(rows.value(0)));
        // The path as stored is valid UTF-8 whatever the name holds: bytes
        // that are not UTF-8 stand as code points U+EF80 to U+EFFF. Where
        // the name needed that, the real bytes come along too.
        const QString path = rows.value(1).toString();
        file.insert(QStringLiteral("path"), jsonText(rows.value(1)));
        if (!FileName::isPlain(path))
            file.insert(QStringLiteral("path_bytes"),
                        QString::fromLatin1(FileName::toBytes(path).toBase64()));
        file.insert(QStringLiteral("md5"), jsonText(rows.value(2)));
        file.insert(QStringLiteral("sha1"), jsonText(rows.value(3)));
        file.insert(QStringLiteral("bytes"), jsonInteger(rows.value(4)));
        file.insert(QStringLiteral("detection_rate"), jsonInteger(rows.value(5)));
        file.insert(QStringLiteral("last_seen"), jsonText(rows.value(6)));
        file.insert(QStringLiteral("check_state"), jsonInteger(rows.value(7)));
        file.insert(QStringLiteral("status"), jsonText(rows.value(8)));
        QByteArray element = QJsonDocument(file).toJson(QJsonDocument::Indented);
        element.chop(1);
        element.replace("\n", "\n    ");
        if (!first)
            out << ",\n";
        first = false;
        out << "    " << QString::fromUtf8(element);
    }
    out << (first ? "]\n" : "\n]\n");
}

void HeadlessScan::finish(int exitStatus)
{
    m_state = State::Done;
    m_exitStatus = exitStatus;
    m_endingSession = std::move(m_session);
    QMetaObject::invokeMethod(
        this,
        [this, exitStatus] {
            // Workers end with their objects; the table goes with its connection.
            m_endingSession.reset();
            Q_EMIT finished(exitStatus);
        },
        Qt::QueuedConnection);
}

void HeadlessScan::message(const QString &text)
{
    m_lines.message(text);
}

void HeadlessScan::showProgress()
{
    if (!m_progressShown || !m_err)
        return;
    const FileScanPipeline *pipeline = m_session ? m_session->pipeline.get() : nullptr;
    if (!pipeline)
        return;
    QString line = tr("Files found: %L1, digested: %L2, answered: %L3")
                       .arg(pipeline->filesFound())
                       .arg(pipeline->filesDigested())
                       .arg(pipeline->answersApplied());
    if (!m_status.isEmpty())
        line += QStringLiteral(" - ") + shown(m_status);
    m_lines.drawProgress(line);
}

void HeadlessScan::endProgress()
{
    m_lines.endProgress();
}
