#include "app/processcheck.h"
#include "childprograms.h"
#include "fakerunningprocesses.h"
#include "platform/clock.h"
#include "platform/filename.h"
#include "registrytestserver.h"
#include "testenvironment.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr quint32 LastSeen = 1275400000;

// What the output says of one process, whatever the format.
struct Line
{
    quint32 pid = 0;
    quint32 parentPid = 0;
    QString name;
    QString path;
    QString md5;
    QString sha1;
    QString verdict;
    int rate = -2; // -2: none given
    QStringList maliciousModules;

    bool operator==(const Line &other) const
    {
        return pid == other.pid && parentPid == other.parentPid && name == other.name &&
               path == other.path && md5 == other.md5 && sha1 == other.sha1 &&
               verdict == other.verdict && rate == other.rate &&
               maliciousModules == other.maliciousModules;
    }
};

QDebug operator<<(QDebug debug, const Line &line)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "Line(" << line.pid << ", " << line.parentPid << ", " << line.name << ", "
                    << line.path << ", " << line.md5 << ", " << line.sha1 << ", " << line.verdict
                    << ", " << line.rate << ", " << line.maliciousModules << ")";
    return debug;
}

// A quoted name of the text format back to its lossless form.
QString unquote(const QString &text)
{
    QString readable = text;
    readable.replace(QStringLiteral("\\\""), QStringLiteral("\""));
    return FileName::fromReadable(readable);
}

QList<Line> parseText(const QByteArray &out, QStringList *summary)
{
    static const QRegularExpression line(QStringLiteral(
        "^(\\d+) (\\d+) \"((?:[^\"\\\\]|\\\\.)*)\" \"((?:[^\"\\\\]|\\\\.)*)\" (\\S+) (\\S+): "
        "(malicious|clean|no data|not checked|unable to check)(?: \\(detection rate (\\d+)%\\))?"
        "(?:: (.*?))?(?:; malicious modules: (.*))?$"));
    static const QRegularExpression module(
        QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\" \\(detection rate \\d+%\\)"));
    QList<Line> lines;
    for (const QString &text : QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch()) {
            summary->append(text);
            continue;
        }
        Line parsed;
        parsed.pid = match.captured(1).toUInt();
        parsed.parentPid = match.captured(2).toUInt();
        parsed.name = unquote(match.captured(3));
        parsed.path = unquote(match.captured(4));
        parsed.md5 = match.captured(5) == QLatin1String("-") ? QString() : match.captured(5);
        parsed.sha1 = match.captured(6) == QLatin1String("-") ? QString() : match.captured(6);
        parsed.verdict = match.captured(7);
        if (match.hasCaptured(8))
            parsed.rate = match.captured(8).toInt();
        auto modules = module.globalMatch(match.captured(10));
        while (modules.hasNext())
            parsed.maliciousModules.append(unquote(modules.next().captured(1)));
        lines.append(parsed);
    }
    return lines;
}

// Runs python3 on input and returns its standard output.
QByteArray python(const QString &program, const QByteArray &input, bool *ok)
{
    const QString system = QStringLiteral("/usr/bin/python3");
    QProcess child;
    child.start(QFileInfo(system).isExecutable() ? system : QStringLiteral("python3"),
                {QStringLiteral("-c"), program});
    child.write(input);
    child.closeWriteChannel();
    *ok = child.waitForFinished(20000) && child.exitStatus() == QProcess::NormalExit &&
          child.exitCode() == 0;
    if (!*ok)
        qWarning().noquote() << "python3 failed:" << child.readAllStandardError();
    return child.readAllStandardOutput();
}

QList<Line> fromJson(const QJsonArray &array)
{
    QList<Line> lines;
    for (const QJsonValue &value : array) {
        const QJsonObject object = value.toObject();
        Line line;
        line.pid = quint32(object.value(QStringLiteral("pid")).toInteger());
        line.parentPid = quint32(object.value(QStringLiteral("parent_pid")).toInteger());
        line.name = FileName::fromReadable(object.value(QStringLiteral("name")).toString());
        line.path = FileName::fromReadable(object.value(QStringLiteral("path")).toString());
        line.md5 = object.value(QStringLiteral("md5")).toString();
        line.sha1 = object.value(QStringLiteral("sha1")).toString();
        line.verdict = object.value(QStringLiteral("verdict")).toString();
        const QJsonValue rate = object.value(QStringLiteral("detection_rate"));
        line.rate = rate.isNull() ? -2 : rate.toInt();
        for (const QJsonValue &module : object.value(QStringLiteral("malicious_modules")).toArray())
            line.maliciousModules.append(
                FileName::fromReadable(module.toObject().value(QStringLiteral("path")).toString()));
        lines.append(line);
    }
    return lines;
}

QList<Line> parse(const QString &format, const QByteArray &out, QStringList *summary, bool *ok)
{
    *ok = true;
    if (format == QLatin1String("text"))
        return parseText(out, summary);
    if (format == QLatin1String("json")) {
        // Strict JSON, as a program other than this one reads it.
        const QByteArray parsed =
            python(QStringLiteral("import json, sys\n"
                                  "json.dump(json.loads(sys.stdin.buffer.read().decode('utf-8', "
                                  "'strict')), sys.stdout)\n"),
                   out, ok);
        return fromJson(QJsonDocument::fromJson(parsed).array());
    }
    const QByteArray parsed = python(
        QStringLiteral("import csv, io, json, sys\n"
                       "rows = list(csv.DictReader(io.StringIO(sys.stdin.read()), "
                       "delimiter='%1'))\n"
                       "for r in rows:\n"
                       "    r['malicious_modules'] = [{'path': p} for p in "
                       "r['malicious_modules'].split('\\n') if p]\n"
                       "    for k in ('md5', 'sha1', 'detection_rate'):\n"
                       "        r[k] = r[k] or None\n"
                       "    r['pid'] = int(r['pid']); r['parent_pid'] = int(r['parent_pid'])\n"
                       "    r['detection_rate'] = None if r['detection_rate'] is None else "
                       "int(r['detection_rate'])\n"
                       "json.dump(rows, sys.stdout)\n")
            .arg(format == QLatin1String("csv") ? QStringLiteral(",") : QStringLiteral("\\t")),
        out, ok);
    return fromJson(QJsonDocument::fromJson(parsed).array());
}

struct Result
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Result check(const QStringList &arguments)
{
    QBuffer out, err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    Result result;
    {
        ProcessCheck check(&out, &err);
        QSignalSpy finished(&check, &ProcessCheck::finished);
        check.start(QStringList{QStringLiteral("winorvex")} + arguments);
        if (finished.wait(120000))
            result.status = finished.first().first().toInt();
    }
    result.out = out.data();
    result.err = err.data();
    return result;
}
} // namespace

class TestProcessCheck : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RegistryTestServer> m_server;

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        if (QStandardPaths::findExecutable(QStringLiteral("sleep")).isEmpty())
            QSKIP("sleep is not installed");
    }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_server = std::make_unique<RegistryTestServer>();
        QVERIFY(m_server->listen());
        qputenv("WINORVEX_REGISTRY", m_server->address());
        Clock::setTestWaitDivisor(20);
    }
    void cleanup()
    {
        Clock::resetTestSeam();
        qunsetenv("WINORVEX_REGISTRY");
        m_server.reset();
        m_dir.reset();
    }

    void recognisesTheOption_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("handled");
        QTest::newRow("alone") << QStringList{"winorvex", "--processes"} << true;
        QTest::newRow("with a format")
            << QStringList{"winorvex", "--format", "json", "--processes"} << true;
        QTest::newRow("a path after --") << QStringList{"winorvex", "--", "--processes"} << false;
        QTest::newRow("window") << QStringList{"winorvex", "/minimize"} << false;
        QTest::newRow("scan") << QStringList{"winorvex", "--scan", "/tmp"} << false;
    }
    void recognisesTheOption()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, handled);
        QCOMPARE(ProcessCheck::handlesArguments(arguments), handled);
    }

    void everyFormatReadsBack_data()
    {
        QTest::addColumn<QString>("format");
        for (const char *format : {"text", "csv", "tsv", "json"})
            QTest::newRow(format) << QString::fromLatin1(format);
    }
    void everyFormatReadsBack()
    {
        QFETCH(QString, format);
        const ProgramCopy evil =
            ProgramCopy::make(m_dir->path(), QStringLiteral("evil \"one\", ok"), "evil");
        const ProgramCopy clean = ProgramCopy::make(m_dir->path(), QStringLiteral("clean"), "c");
        const LibraryCopy module =
            LibraryCopy::make(m_dir->path(), QStringLiteral("libbad\tmodule.so"), "bad");
        QVERIFY(!evil.path.isEmpty() && !clean.path.isEmpty() && !module.path.isEmpty());
        m_server->setAnswer(evil.md5, LastSeen, 70);
        m_server->setAnswer(clean.md5, LastSeen, 0);
        m_server->setAnswer(module.md5, LastSeen, 90);

        FakeRunningProcesses fake;
        fake.listOwnChildren();
        Sleepers children;
        const quint32 evilPid = children.start(evil.path);
        const quint32 cleanPid = children.start(clean.path);
        const quint32 loaderPid = children.startLoader({module.path});
        QVERIFY(evilPid && cleanPid && loaderPid);

        const Result result =
            check({QStringLiteral("--processes"), QStringLiteral("--format"), format});
        QCOMPARE(result.status, int(ProcessCheck::MalwareFound));
        QStringList summary;
        bool ok = false;
        QList<Line> lines = parse(format, result.out, &summary, &ok);
        QVERIFY2(ok, result.out.constData());
        std::sort(lines.begin(), lines.end(),
                  [](const Line &a, const Line &b) { return a.pid < b.pid; });

        const quint32 self = quint32(QCoreApplication::applicationPid());
        const auto name = [](const QString &path) {
            return QString::fromUtf8(QFile::encodeName(QFileInfo(path).fileName()).left(15));
        };
        Line evilLine{evilPid,
                      self,
                      name(evil.path),
                      evil.path,
                      evil.md5,
                      evil.sha1,
                      QStringLiteral("malicious"),
                      70,
                      {}};
        Line cleanLine{cleanPid,  self,       name(clean.path),        clean.path,
                       clean.md5, clean.sha1, QStringLiteral("clean"), 0,
                       {}};
        QFile loader(Sleepers::loaderPath());
        QVERIFY(loader.open(QIODevice::ReadOnly));
        const QByteArray loaderBytes = loader.readAll();
        Line loaderLine{
            loaderPid,
            self,
            name(Sleepers::loaderPath()),
            Sleepers::loaderPath(),
            QString::fromLatin1(
                QCryptographicHash::hash(loaderBytes, QCryptographicHash::Md5).toHex()),
            QString::fromLatin1(
                QCryptographicHash::hash(loaderBytes, QCryptographicHash::Sha1).toHex()),
            QStringLiteral("no data"),
            -1,
            {module.path}};
        // The text tells a detection rate only for malware.
        if (format == QLatin1String("text"))
            cleanLine.rate = loaderLine.rate = -2;
        QList<Line> expected{evilLine, cleanLine, loaderLine};
        std::sort(expected.begin(), expected.end(),
                  [](const Line &a, const Line &b) { return a.pid < b.pid; });
        QCOMPARE(lines, expected);
        if (format == QLatin1String("text"))
            QCOMPARE(summary, QStringList{QStringLiteral(
                                  "3 processes checked: 1 malicious, 1 using malicious modules.")});
        // Progress and summary go to standard error only on a terminal.
        QVERIFY(result.err.isEmpty());
        // Each file once: the sleep copies, the loader and its libraries.
        for (const QString &md5 : {evil.md5, clean.md5, module.md5})
            QCOMPARE(m_server->timesAnswered(md5), 1);
    }

    void cleanMachineExitsZero()
    {
        const ProgramCopy clean = ProgramCopy::make(m_dir->path(), QStringLiteral("fine"), "fine");
        FakeRunningProcesses fake;
        fake.listOwnChildren();
        Sleepers children;
        QVERIFY(children.start(clean.path));
        const Result result = check({QStringLiteral("--processes")});
        QCOMPARE(result.status, int(ProcessCheck::NothingMalicious));
        QVERIFY2(result.out.endsWith(": no data\n1 processes checked: 0 malicious, 0 using "
                                     "malicious modules.\n"),
                 result.out.constData());
    }

    void unreachableRegistryIsAnError()
    {
        const ProgramCopy program = ProgramCopy::make(m_dir->path(), QStringLiteral("lone"), "l");
        QVERIFY(m_server->setRefusing(true));
        Clock::setTestWaitDivisor(100);
        FakeRunningProcesses fake;
        fake.listOwnChildren();
        Sleepers children;
        QVERIFY(children.start(program.path));
        const Result result = check({QStringLiteral("--processes")});
        QCOMPARE(result.status, int(ProcessCheck::Failed));
        QVERIFY2(result.err.contains("could not reach the malware database at 127.0.0.1:"),
                 result.err.constData());
        QVERIFY2(result.out.contains(": unable to check: The malware database could not be "
                                     "reached\n"),
                 result.out.constData());
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("format") << QStringList{"--processes", "--format", "xml"}
                                << "winorvex: unknown format 'xml'; use text, csv, tsv or json";
        QTest::newRow("paths") << QStringList{"--processes", "/tmp"}
                               << "winorvex: --processes takes no files or folders; use --scan "
                                  "for those";
    }
    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const Result result = check(arguments);
        QCOMPARE(result.status, int(ProcessCheck::Failed));
        QVERIFY(result.out.isEmpty());
        QVERIFY2(result.err.startsWith(message.toUtf8() + '\n'), result.err.constData());
    }

    // The program itself, on the whole machine: as shipped, the README's command.
    void commandLine()
    {
        const ProgramCopy evil = ProgramCopy::make(m_dir->path(), QStringLiteral("listed"), "l");
        m_server->setAnswer(evil.md5, LastSeen, 55);
        Sleepers children;
        const quint32 pid = children.start(evil.path);
        QVERIFY(pid);
        QProcess program;
        program.start(
            QStringLiteral(WINORVEX_EXECUTABLE),
            {QStringLiteral("--processes"), QStringLiteral("--format"), QStringLiteral("json")});
        QVERIFY(program.waitForFinished(120000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), int(ProcessCheck::MalwareFound));
        const QList<Line> lines =
            fromJson(QJsonDocument::fromJson(program.readAllStandardOutput()).array());
        bool named = false;
        for (const Line &line : lines)
            named = named || (line.pid == pid && line.path == evil.path &&
                              line.verdict == QLatin1String("malicious") && line.rate == 55);
        QVERIFY(named);
    }

    // A reader that went away is named as the system names it, as --scan does,
    // never "Unknown error", and the run is not taken for a clean one.
    void closedPipeSaysWhy()
    {
        int output[2];
        QCOMPARE(::pipe2(output, O_CLOEXEC), 0);
        const int writeEnd = output[1];
        ::close(output[0]);
        QProcess program;
        program.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
        program.start(QStringLiteral(WINORVEX_EXECUTABLE), {QStringLiteral("--processes")});
        ::close(writeEnd);
        QVERIFY(program.waitForFinished(120000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), int(ProcessCheck::Failed));
        const QByteArray err = program.readAllStandardError();
        QVERIFY2(err.contains("winorvex: could not write the results: Broken pipe\n"),
                 err.constData());
    }

    void processesOfOthersAreNotChecked()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to run the check as another user");
        QProcess program;
        program.start(QStringLiteral("setpriv"),
                      {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                       QStringLiteral("--clear-groups"), QStringLiteral(WINORVEX_EXECUTABLE),
                       QStringLiteral("--processes")});
        QVERIFY(program.waitForFinished(120000));
        QCOMPARE(program.exitCode(), int(ProcessCheck::NothingMalicious));
        QStringList summary;
        const QList<Line> lines = parseText(program.readAllStandardOutput(), &summary);
        // This test runs as root: its own line says why it was not checked.
        const quint32 self = quint32(QCoreApplication::applicationPid());
        bool selfNotChecked = false;
        for (const Line &line : lines)
            selfNotChecked = selfNotChecked ||
                             (line.pid == self && line.verdict == QLatin1String("not checked"));
        QVERIFY(selfNotChecked);
        QCOMPARE(summary.size(), 2);
        QVERIFY(summary.last().endsWith(QStringLiteral(
            " processes could not be checked: this user may not inspect them. Running as root "
            "checks them all.")));
    }
};

QTEST_GUILESS_MAIN(TestProcessCheck)
#include "tst_processcheck.moc"
