#include "app/processcheck.h"

#include "app/applicationversion.h"

#include "files/dataexporter.h"
#include "files/digestcalculator.h"
#include "platform/descriptorwriter.h"
#include "platform/filename.h"
#include "platform/modulefile.h"
#include "platform/platforminfo.h"
#include "platform/processmaps.h"
#include "platform/runningprocesses.h"
#include "platform/serveraddress.h"
#include "platform/stopsignalwatcher.h"
#include "platform/systemerror.h"
#include "platform/terminal.h"
#include "processes/openedfiles.h"
#include "registry/orvexcache.h"
#include "registry/orvexhandler.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileDevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QScopeGuard>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString ProgramName = QStringLiteral("winorvex");
const QString Option = QStringLiteral("--processes");

constexpr int ProgressIntervalMs = 100;
// Files held open at once while a batch is read.
constexpr int BatchSize = 256;

// A name or path on one line of text, in double quotes: bytes that are not
// text, control characters and the backslash as escapes (FileName::readable),
// and the double quote as \".
QString quoted(const QString &text)
{
    QString readable = FileName::readable(text);
    readable.replace(u'"', QStringLiteral("\\\""));
    return u'"' + readable + u'"';
}

QJsonValue jsonText(const QString &text)
{
    return text.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString registryAddressText()
{
    const ServerAddress address = ServerAddress::registry();
    const QString host =
        address.host.contains(u':') ? QStringLiteral("[%1]").arg(address.host) : address.host;
    return QStringLiteral("%1:%2").arg(host).arg(address.port);
}

// The image a process runs, told apart from any other file or version.
QString imageKey(const RunningProcesses::ImageIdentity &id)
{
    return QStringLiteral("x%1:%2:%3:%4:%5")
        .arg(id.device)
        .arg(id.inode)
        .arg(id.size)
        .arg(id.modifiedNs)
        .arg(id.changedNs);
}

// Opens the running image of a process, when it is still the one the
// snapshot saw. 0 or an errno value; ESTALE when it is another image now.
int openImage(quint32 pid, const RunningProcesses::ImageIdentity &identity, UniqueFd *fd)
{
    const QByteArray path = QFile::encodeName(RunningProcesses::instance().imagePath(pid));
    UniqueFd opened(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!opened.isValid())
        return errno;
    struct stat st;
    if (::fstat(opened.get(), &st) != 0)
        return errno;
    const qint64 modified = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    const qint64 changed = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    if (!S_ISREG(st.st_mode) || quint64(st.st_dev) != identity.device ||
        quint64(st.st_ino) != identity.inode || qint64(st.st_size) != identity.size ||
        modified != identity.modifiedNs || changed != identity.changedNs)
        return ESTALE;
    ::fcntl(opened.get(), F_SETFL, 0);
    *fd = std::move(opened);
    return 0;
}
} // namespace

// One snapshot of the machine and what was learnt of its files. Filled on the
// collector thread, read on the main thread once that has ended.
struct ProcessCheck::Snapshot
{
    struct Holder
    {
        quint32 pid = 0;
        MappedFile mapping;
    };
    struct File
    {
        bool module = false;
        RunningProcesses::ImageIdentity identity;
        QList<Holder> holders;
        QString md5;
        QString sha1;
        QString error;
    };
    struct Module
    {
        QString path;
        QString key;
    };
    struct Process
    {
        quint32 pid = 0;
        quint32 parentPid = 0;
        QString name;
        QString path;
        QString executableKey;
        QList<Module> modules;
        bool denied = false;
        QString reason;
    };

    bool listed = false;
    qint64 listMs = 0;
    qint64 digestMs = 0;
    QList<Process> processes;
    QHash<QString, File> files;
    QList<QString> order;
};

ProcessCheck::ProcessCheck(QIODevice *out, QIODevice *err, QObject *parent)
    : QObject(parent), m_out(out), m_err(err), m_lines(err)
{
    qRegisterMetaType<QList<QString>>("QList<QString>");
    m_progressTimer.setInterval(ProgressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, [this] { showProgress(); });
}

ProcessCheck::~ProcessCheck()
{
    m_stop.store(true);
    if (m_handler)
        m_handler->userRequestStop();
    if (m_collector)
        m_collector->wait();
}

bool ProcessCheck::handlesArguments(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return handlesArguments(arguments);
}

bool ProcessCheck::handlesArguments(const QStringList &arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--"))
            return false;
        if (arguments.at(i) == Option)
            return true;
    }
    return false;
}

QString ProcessCheck::verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Malicious:
        return QStringLiteral("malicious");
    case Verdict::Clean:
        return QStringLiteral("clean");
    case Verdict::NoData:
        return QStringLiteral("no data");
    case Verdict::NotChecked:
        return QStringLiteral("not checked");
    case Verdict::UnableToCheck:
        return QStringLiteral("unable to check");
    }
    return QString();
}

int ProcessCheck::run(int &argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("WinOrvex"));
    QCoreApplication::setApplicationVersion(applicationVersion());
    const QStringList arguments = QCoreApplication::arguments();

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

    ProcessCheck check(&out, &err);
    check.setProgressShown(Terminal::isTerminal(STDERR_FILENO));
    StopSignalWatcher stopSignals;
    connect(&stopSignals, &StopSignalWatcher::stopRequested, &check,
            &ProcessCheck::handleStopSignal);
    connect(&check, &ProcessCheck::finished, &app,
            [](int status) { QCoreApplication::exit(status); });
    QTimer::singleShot(0, &check, [&check, arguments] { check.start(arguments); });
    return QCoreApplication::exec();
}

bool ProcessCheck::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        tr("Checks the running processes against the malware database without opening a "
           "window: the program of every process and every library it has loaded are digested "
           "(MD5 and SHA-1), each file once, and looked up in the hash registry (%1, set "
           "WINORVEX_REGISTRY=host:port to use another). Processes of other users can only be "
           "checked by root.\n\n"
           "Exit status: 0 nothing malicious found, 1 malware found, 2 an error (the registry "
           "could not be reached, or the check was stopped with Ctrl+C or SIGTERM).")
            .arg(registryAddressText()));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption processes(QStringLiteral("processes"),
                                       tr("Check the running processes and their modules."));
    const QCommandLineOption format(
        QStringLiteral("format"),
        tr("Output: text (one line per process and a summary), csv, tsv or json. Default text."),
        QStringLiteral("FORMAT"), QStringLiteral("text"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     tr("Write the program's log to standard error."));
    parser.addOptions({processes, format, verbose});

    auto usageError = [this](const QString &text) {
        message(tr("%1: %2\nTry '%1 --processes --help'.").arg(ProgramName, text));
        finish(Failed);
        return false;
    };
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        QTextStream out(m_out);
        out << parser.helpText();
        out.flush();
        finish(NothingMalicious);
        return false;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(tr("--processes takes no files or folders; use --scan for those"));
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
    return true;
}

void ProcessCheck::start(const QStringList &arguments)
{
    if (m_running || m_done) {
        qWarning() << "ProcessCheck::start() called twice";
        return;
    }
    if (!parse(arguments))
        return;
    m_running = true;
    m_snapshot = std::make_unique<Snapshot>();
    m_collector.reset(QThread::create([this] { collect(); }));
    connect(m_collector.get(), &QThread::finished, this, &ProcessCheck::handleCollected);
    m_collector->start();
    showProgress();
    if (m_progressShown)
        m_progressTimer.start();
}

void ProcessCheck::collect()
{
    Snapshot &snapshot = *m_snapshot;
    const RunningProcesses &system = RunningProcesses::instance();
    QElapsedTimer phase;
    phase.start();
    QList<ProcStat> processes;
    snapshot.listed = system.list(&processes);
    if (!snapshot.listed)
        return;
    std::sort(processes.begin(), processes.end(),
              [](const ProcStat &a, const ProcStat &b) { return a.pid < b.pid; });

    auto addHolder = [&snapshot](const QString &key, bool module, Snapshot::Holder holder,
                                 const RunningProcesses::ImageIdentity &identity) {
        auto file = snapshot.files.find(key);
        if (file == snapshot.files.end()) {
            file = snapshot.files.insert(key, Snapshot::File());
            file->module = module;
            file->identity = identity;
            snapshot.order.append(key);
        }
        file->holders.append(std::move(holder));
    };

    QByteArray maps;
    for (const ProcStat &stat : std::as_const(processes)) {
        if (m_stop.load())
            return;
        if (stat.isKernelThread() || stat.isZombie())
            continue;
        Snapshot::Process process;
        process.pid = stat.pid;
        process.parentPid = stat.parentPid;
        process.name = stat.displayName();
        QByteArray path;
        RunningProcesses::ImageIdentity identity;
        int error = system.executablePath(stat.pid, &path);
        if (error == 0)
            error = system.imageIdentity(stat.pid, &identity);
        if (RunningProcesses::hasEnded(error))
            continue;
        if (error != 0) {
            process.path = FileName::fromBytes(path);
            process.denied = RunningProcesses::isDenied(error);
            process.reason = systemErrorText(error);
            snapshot.processes.append(process);
            m_processesSeen.fetch_add(1);
            continue;
        }
        process.path = FileName::fromBytes(path);
        process.executableKey = imageKey(identity);
        addHolder(process.executableKey, false, {stat.pid, MappedFile()}, identity);

        error = ProcessMaps::read(stat.pid, &maps);
        if (error != 0 && !RunningProcesses::hasEnded(error)) {
            process.denied = RunningProcesses::isDenied(error);
            process.reason = tr("its modules cannot be read: %1").arg(systemErrorText(error));
        }
        if (error == 0) {
            for (const MappedFile &mapping : ProcessMaps::executableFiles(maps)) {
                if (mapping.path == path)
                    continue;
                const QString key = u'm' + QString::fromLatin1(mapping.fileId());
                process.modules.append({FileName::fromBytes(mapping.path), key});
                addHolder(key, true, {stat.pid, mapping}, identity);
            }
        }
        snapshot.processes.append(process);
        m_processesSeen.fetch_add(1);
    }

    // Each file once, read as the process sees it; a batch is held open at a time.
    snapshot.listMs = phase.restart();
    const auto timed = qScopeGuard([&snapshot, &phase] { snapshot.digestMs = phase.elapsed(); });
    m_filesToRead.store(int(snapshot.order.size()));
    DigestCalculator digester;
    {
        const QMutexLocker locker(&m_digesterMutex);
        m_digester = &digester;
    }
    const auto forget = qScopeGuard([this] {
        const QMutexLocker locker(&m_digesterMutex);
        m_digester = nullptr;
    });
    OpenedFiles opened;
    auto fileOf = [&](const QString &path) -> Snapshot::File * {
        const auto file = snapshot.files.find(opened.keyOf(path));
        return file == snapshot.files.end() ? nullptr : &*file;
    };
    connect(
        &digester, &DigestCalculator::setDigestData, &digester,
        [&](const QString &record) {
            const qsizetype md5Bar = record.lastIndexOf(u'|');
            const qsizetype sha1Bar = record.lastIndexOf(u'|', md5Bar - 1);
            if (Snapshot::File *file = fileOf(record.left(sha1Bar))) {
                file->md5 = record.mid(md5Bar + 1);
                file->sha1 = record.mid(sha1Bar + 1, md5Bar - sha1Bar - 1);
            }
            m_filesRead.fetch_add(1);
        },
        Qt::DirectConnection);
    auto failed = [&](const QString &path, const QString &reason) {
        if (Snapshot::File *file = fileOf(path))
            file->error = reason;
        m_filesRead.fetch_add(1);
    };
    connect(&digester, &DigestCalculator::fileUnreadable, &digester, failed, Qt::DirectConnection);
    connect(&digester, &DigestCalculator::fileSkipped, &digester, failed, Qt::DirectConnection);
    connect(
        &digester, &DigestCalculator::fileChangedWhileRead, &digester,
        [&](const QString &path) { failed(path, tr("The file changed while it was read")); },
        Qt::DirectConnection);

    for (qsizetype from = 0; from < snapshot.order.size() && !m_stop.load(); from += BatchSize) {
        opened.clear();
        for (const QString &key : snapshot.order.mid(from, BatchSize)) {
            Snapshot::File &file = snapshot.files[key];
            int error = ESRCH;
            for (const Snapshot::Holder &holder : std::as_const(file.holders)) {
                UniqueFd fd;
                error = file.module ? ModuleFile::open(holder.pid, holder.mapping, &fd)
                                    : openImage(holder.pid, file.identity, &fd);
                if (error == 0) {
                    opened.add(std::move(fd), key);
                    break;
                }
            }
            if (error != 0) {
                file.error = error == ESTALE ? tr("The process ended or changed its program")
                             : RunningProcesses::hasEnded(error)
                                 ? tr("The process ended or unloaded it")
                                 : ModuleFile::errorText(error);
                m_filesRead.fetch_add(1);
            }
        }
        if (opened.isEmpty())
            continue;
        digester.setFiles(opened.paths());
        digester.start();
        digester.wait();
    }
    opened.clear();
}

void ProcessCheck::handleCollected()
{
    if (!m_running)
        return;
    if (m_stopRequested) {
        finishCheck();
        return;
    }
    if (!m_snapshot->listed) {
        message(tr("%1: could not list the running processes").arg(ProgramName));
        m_running = false;
        m_progressTimer.stop();
        endProgress();
        finish(Failed);
        return;
    }
    QList<QString> digests;
    QSet<QString> seen;
    for (const QString &key : std::as_const(m_snapshot->order)) {
        const QString &md5 = m_snapshot->files.value(key).md5;
        if (!md5.isEmpty() && !seen.contains(md5)) {
            seen.insert(md5);
            digests.append(md5);
        }
    }
    m_asked = int(digests.size());
    m_registryTimer.start();
    if (digests.isEmpty()) {
        finishCheck();
        return;
    }
    m_cache = std::make_unique<OrvexCache>();
    m_handler = std::make_unique<OrvexHandler>(m_cache.get());
    connect(m_handler.get(), &OrvexHandler::setOrvexDataPacked, this, &ProcessCheck::handleAnswer);
    connect(m_handler.get(), &OrvexHandler::digestUnanswered, this,
            [this](const QString &md5) { m_unanswered.insert(md5); });
    connect(m_handler.get(), &OrvexHandler::automaticReconnectFailed, this,
            &ProcessCheck::handleAutomaticReconnectFailed);
    connect(m_handler.get(), &ProgressInterface::progressStatus, this,
            [this](const QString &status) { m_status = status; });
    connect(m_handler.get(), &OrvexHandler::connectionMessage, this,
            [this](const QString &status) { m_status = status; });
    connect(m_handler.get(), &QThread::finished, this, &ProcessCheck::finishCheck);
    m_handler->sendQuery(digests);
}

void ProcessCheck::handleAnswer(const QString &record)
{
    const QStringList fields = record.split(u'|');
    if (fields.size() != 3)
        return;
    bool ok = false;
    const int rate = fields.at(1).toInt(&ok, 10);
    m_answers.insert(fields.at(0), {ok ? rate : -1, fields.at(2)});
}

void ProcessCheck::handleAutomaticReconnectFailed()
{
    if (!m_running || m_registryFailed || m_stopRequested)
        return;
    // Nobody can press Retry here: give up, and say where the registry was sought.
    m_registryFailed = true;
    m_status.clear();
    message(tr("%1: could not reach the malware database at %2 after repeated attempts; set "
               "WINORVEX_REGISTRY=host:port to use another registry")
                .arg(ProgramName, registryAddressText()));
    m_handler->userRequestStop();
}

void ProcessCheck::handleStopSignal(int signalNumber)
{
    if (!m_running || m_stopRequested)
        return;
    const QString name = signalNumber == SIGINT    ? QStringLiteral("SIGINT")
                         : signalNumber == SIGTERM ? QStringLiteral("SIGTERM")
                                                   : QString::number(signalNumber);
    message(tr("%1: %2 received").arg(ProgramName, name));
    userRequestStop();
}

void ProcessCheck::userRequestStop()
{
    if (!m_running || m_stopRequested)
        return;
    m_stopRequested = true;
    message(tr("%1: stopping the check (Ctrl+C again quits at once)").arg(ProgramName));
    m_stop.store(true);
    {
        const QMutexLocker locker(&m_digesterMutex);
        if (m_digester)
            m_digester->userRequestStop();
    }
    if (m_handler)
        m_handler->userRequestStop();
}

void ProcessCheck::finishCheck()
{
    if (!m_running)
        return;
    m_running = false;
    m_progressTimer.stop();
    showProgress();
    endProgress();
    qInfo().noquote()
        << QStringLiteral("ProcessCheck::finishCheck() %1 processes, %2 files, %3 digests asked: "
                          "snapshot %4 ms, digests %5 ms, registry %6 ms")
               .arg(m_snapshot->processes.size())
               .arg(m_snapshot->order.size())
               .arg(m_asked)
               .arg(m_snapshot->listMs)
               .arg(m_snapshot->digestMs)
               .arg(m_registryTimer.isValid() ? m_registryTimer.elapsed() : 0);
    if (m_stopRequested) {
        finish(Failed);
        return;
    }
    writeResults();
}

namespace {
struct ModuleVerdict
{
    QString path;
    QString md5;
    QString sha1;
    int rate = 0;
};

struct ProcessVerdict
{
    ProcessCheck::Verdict verdict = ProcessCheck::Verdict::UnableToCheck;
    QString md5;
    QString sha1;
    int rate = 0;
    bool hasRate = false;
    QString reason;
    QList<ModuleVerdict> maliciousModules;
};
} // namespace

void ProcessCheck::writeResults()
{
    const Snapshot &snapshot = *m_snapshot;
    auto answered = [this](const QString &md5, int *rate) {
        const auto answer = m_answers.constFind(md5);
        if (answer == m_answers.constEnd())
            return false;
        *rate = answer->rate;
        return true;
    };

    int malicious = 0, usingMalicious = 0, notChecked = 0, unable = 0;
    QTextStream out(m_out);
    const QString separator = m_format == Format::Csv ? QStringLiteral(",") : QStringLiteral("\t");
    auto writeRow = [&out, &separator](const QStringList &fields) {
        QStringList cells;
        for (const QString &field : fields)
            cells.append(DataExporter::quoteField(field, separator));
        out << cells.join(separator) << '\n';
    };
    if (m_format == Format::Csv || m_format == Format::Tsv)
        writeRow({QStringLiteral("pid"), QStringLiteral("parent_pid"), QStringLiteral("name"),
                  QStringLiteral("path"), QStringLiteral("md5"), QStringLiteral("sha1"),
                  QStringLiteral("verdict"), QStringLiteral("detection_rate"),
                  QStringLiteral("reason"), QStringLiteral("malicious_modules")});
    if (m_format == Format::Json)
        out << '[';
    bool first = true;

    for (const Snapshot::Process &process : snapshot.processes) {
        ProcessVerdict v;
        const Snapshot::File file = snapshot.files.value(process.executableKey);
        v.md5 = file.md5;
        v.sha1 = file.sha1;
        if (process.executableKey.isEmpty()) {
            v.verdict = process.denied ? Verdict::NotChecked : Verdict::UnableToCheck;
            v.reason = process.reason;
        } else if (file.md5.isEmpty()) {
            v.reason = file.error;
        } else if (answered(file.md5, &v.rate)) {
            v.hasRate = true;
            v.verdict = v.rate > 0    ? Verdict::Malicious
                        : v.rate == 0 ? Verdict::Clean
                                      : Verdict::NoData;
        } else {
            v.reason = m_unanswered.contains(file.md5)
                           ? tr("The malware database did not answer for it")
                           : tr("The malware database could not be reached");
        }
        // The modules could not be read: the program's own verdict stands,
        // and why the modules were not checked is told beside it.
        if (!process.executableKey.isEmpty() && !process.reason.isEmpty() && v.reason.isEmpty())
            v.reason = process.reason;
        for (const Snapshot::Module &module : process.modules) {
            const Snapshot::File moduleFile = snapshot.files.value(module.key);
            int rate = 0;
            if (!moduleFile.md5.isEmpty() && answered(moduleFile.md5, &rate) && rate > 0)
                v.maliciousModules.append({module.path, moduleFile.md5, moduleFile.sha1, rate});
        }
        if (v.verdict == Verdict::Malicious)
            ++malicious;
        if (!v.maliciousModules.isEmpty())
            ++usingMalicious;
        if (process.denied)
            ++notChecked;
        else if (v.verdict == Verdict::UnableToCheck)
            ++unable;

        const QString verdict = verdictText(v.verdict);
        switch (m_format) {
        case Format::Text: {
            QString line = QStringLiteral("%1 %2 %3 %4 %5 %6: %7")
                               .arg(process.pid)
                               .arg(process.parentPid)
                               .arg(quoted(process.name), quoted(process.path),
                                    v.md5.isEmpty() ? QStringLiteral("-") : v.md5,
                                    v.sha1.isEmpty() ? QStringLiteral("-") : v.sha1, verdict);
            if (v.hasRate && v.rate > 0)
                line += tr(" (detection rate %1%)").arg(v.rate);
            if (!v.reason.isEmpty())
                line += QStringLiteral(": ") + FileName::readable(v.reason);
            if (!v.maliciousModules.isEmpty()) {
                QStringList modules;
                for (const ModuleVerdict &module : std::as_const(v.maliciousModules))
                    modules.append(
                        tr("%1 (detection rate %2%)").arg(quoted(module.path)).arg(module.rate));
                line += tr("; malicious modules: %1").arg(modules.join(QStringLiteral(", ")));
            }
            out << line << '\n';
            break;
        }
        case Format::Csv:
        case Format::Tsv: {
            QStringList modules;
            for (const ModuleVerdict &module : std::as_const(v.maliciousModules))
                modules.append(FileName::readable(module.path));
            writeRow({QString::number(process.pid), QString::number(process.parentPid),
                      FileName::readable(process.name), FileName::readable(process.path), v.md5,
                      v.sha1, verdict, v.hasRate ? QString::number(v.rate) : QString(), v.reason,
                      modules.join(u'\n')});
            break;
        }
        case Format::Json: {
            QJsonObject object;
            object.insert(QStringLiteral("pid"), qint64(process.pid));
            object.insert(QStringLiteral("parent_pid"), qint64(process.parentPid));
            object.insert(QStringLiteral("name"), FileName::readable(process.name));
            object.insert(QStringLiteral("path"),
                          process.path.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                 : QJsonValue(FileName::readable(process.path)));
            object.insert(QStringLiteral("md5"), jsonText(v.md5.isEmpty() ? QString() : v.md5));
            object.insert(QStringLiteral("sha1"), jsonText(v.sha1.isEmpty() ? QString() : v.sha1));
            object.insert(QStringLiteral("verdict"), verdict);
            object.insert(QStringLiteral("detection_rate"),
                          v.hasRate ? QJsonValue(v.rate) : QJsonValue(QJsonValue::Null));
            object.insert(QStringLiteral("reason"),
                          jsonText(v.reason.isEmpty() ? QString() : v.reason));
            QJsonArray modules;
            for (const ModuleVerdict &module : std::as_const(v.maliciousModules))
                modules.append(
                    QJsonObject{{QStringLiteral("path"), FileName::readable(module.path)},
                                {QStringLiteral("md5"), module.md5},
                                {QStringLiteral("sha1"), module.sha1},
                                {QStringLiteral("detection_rate"), module.rate}});
            object.insert(QStringLiteral("malicious_modules"), modules);
            QByteArray element = QJsonDocument(object).toJson(QJsonDocument::Indented);
            element.chop(1);
            element.replace("\n", "\n    ");
            out << (first ? "\n    " : ",\n    ") << QString::fromUtf8(element);
            break;
        }
        }
        first = false;
    }
    if (m_format == Format::Json)
        out << (first ? "]\n" : "\n]\n");

    QStringList summary;
    summary.append(tr("%1 processes checked: %2 malicious, %3 using malicious modules.")
                       .arg(snapshot.processes.size())
                       .arg(malicious)
                       .arg(usingMalicious));
    if (notChecked > 0 && !PlatformInfo::instance().isAdministrator())
        summary.append(tr("%1 processes could not be checked: this user may not inspect them. "
                          "Running as root checks them all.")
                           .arg(notChecked));
    else if (notChecked > 0)
        summary.append(tr("%1 processes could not be checked: the system does not let them be "
                          "inspected.")
                           .arg(notChecked));
    if (unable > 0)
        summary.append(
            tr("%1 processes could not be checked: their programs could not be read or the "
               "malware database did not answer.")
                .arg(unable));
    if (m_format == Format::Text) {
        for (const QString &line : std::as_const(summary))
            out << line << '\n';
    }
    out.flush();
    bool written = out.status() == QTextStream::Ok;
    if (auto *file = qobject_cast<QFileDevice *>(m_out))
        written = file->flush() && written;
    if (!written)
        message(tr("%1: could not write the results: %2").arg(ProgramName, m_out->errorString()));
    if (m_format != Format::Text && m_progressShown) {
        for (const QString &line : std::as_const(summary))
            message(line);
    }

    int status = NothingMalicious;
    if (m_registryFailed || !written)
        status = Failed;
    else if (malicious > 0 || usingMalicious > 0)
        status = MalwareFound;
    finish(status);
}

void ProcessCheck::finish(int exitStatus)
{
    m_done = true;
    m_running = false;
    m_exitStatus = exitStatus;
    QMetaObject::invokeMethod(
        this,
        [this, exitStatus] {
            if (m_handler) {
                m_handler->userRequestStop();
                m_handler->wait();
            }
            Q_EMIT finished(exitStatus);
        },
        Qt::QueuedConnection);
}

void ProcessCheck::message(const QString &text)
{
    m_lines.message(text);
}

void ProcessCheck::showProgress()
{
    if (!m_progressShown || !m_err)
        return;
    QString line = tr("Processes: %L1, files read: %L2 of %L3, answered: %L4 of %L5")
                       .arg(m_processesSeen.load())
                       .arg(m_filesRead.load())
                       .arg(m_filesToRead.load())
                       .arg(m_answers.size())
                       .arg(m_asked);
    if (!m_status.isEmpty())
        line += QStringLiteral(" - ") + FileName::readable(m_status);
    m_lines.drawProgress(line);
}

void ProcessCheck::endProgress()
{
    m_lines.endProgress();
}
