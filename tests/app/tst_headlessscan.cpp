#include "app/headlessscan.h"
#include "deeptree.h"
#include "platform/clock.h"
#include "platform/filename.h"
#include "platform/terminal.h"
#include "registrytestserver.h"
#include "testenvironment.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

const quint32 kSeen = 1275400000;
const QString kEicar =
    QStringLiteral("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*");

QString md5Of(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

// What the output says of one file, whatever the format's own words are.
struct Verdict
{
    QString path;
    QString kind;  // "malicious", "clean", "unreadable" or "unchecked"
    int rate = -2; // -2: the format gave none

    bool operator==(const Verdict &other) const
    {
        return path == other.path && kind == other.kind && rate == other.rate;
    }
};

QDebug operator<<(QDebug debug, const Verdict &verdict)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "Verdict(" << verdict.path << ", " << verdict.kind << ", " << verdict.rate
                    << ")";
    return debug;
}

bool byPath(const Verdict &a, const Verdict &b)
{
    return a.path < b.path;
}

// What the output says of a file, from its check state and status.
QString kindOf(int state, const QString &status)
{
    if (state == 4)
        return status == QLatin1String("Malware detected.") ? QStringLiteral("malicious")
                                                            : QStringLiteral("clean");
    if (status == QLatin1String("Unable to open file."))
        return QStringLiteral("unreadable");
    if (status.startsWith(QLatin1String("Skipped: ")))
        return QStringLiteral("skipped");
    if (status == QLatin1String("Changed while it was scanned."))
        return QStringLiteral("changed");
    if (state == 2)
        return QStringLiteral("unanswered");
    return QStringLiteral("unchecked");
}

// A shell command that runs the program with its arguments and then one more,
// made of raw bytes: QProcess can only pass arguments that are text.
QString withRawArgument(const QByteArray &raw)
{
    QString format;
    for (const char c : raw) {
        const uchar byte = uchar(c);
        if (QChar::isLetterOrNumber(byte) && byte < 0x80)
            format += QLatin1Char(c);
        else
            format += QStringLiteral("\\%1").arg(uint(byte), 3, 8, QLatin1Char('0'));
    }
    return QStringLiteral("exec \"$0\" \"$@\" \"$(printf '%1')\"").arg(format);
}

struct Result
{
    bool ran = false;
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray out;
    QByteArray err;
};

// Runs python3 on input and returns its standard output.
QByteArray python(const QString &program, const QByteArray &input, bool *ok)
{
    // The system's interpreter starts at once; a version manager's shim may not.
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

} // namespace

class TestHeadlessScan : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RegistryTestServer> m_server;

    QString path(const QString &relative) const { return m_dir->filePath(relative); }

    QString makeFile(const QString &relative, const QByteArray &content)
    {
        const QString file = path(relative);
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size())
            qWarning() << "could not write" << file;
        return file;
    }

    // A name that is not UTF-8 can only be made from bytes.
    bool makeRawFile(const QByteArray &folder, const QByteArray &name,
                     const QByteArray &content = "raw\n")
    {
        const QByteArray file = folder + '/' + name;
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return false;
        const bool written =
            ::write(fd, content.constData(), size_t(content.size())) == ssize_t(content.size());
        ::close(fd);
        return written;
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("WINORVEX_REGISTRY"), QString::fromLatin1(m_server->address()));
        return env;
    }

    // rawArgument: a last argument of raw bytes (through the shell), if any.
    Result runWinorvex(const QStringList &arguments, const QProcessEnvironment &env,
                       bool asNobody = false, const QByteArray &rawArgument = QByteArray())
    {
        Result result;
        QProcess child;
        child.setProcessEnvironment(env);
        QString program = QStringLiteral(WINORVEX_EXECUTABLE);
        QStringList programArguments = arguments;
        if (!rawArgument.isNull()) {
            programArguments =
                QStringList{QStringLiteral("-c"), withRawArgument(rawArgument), program} +
                arguments;
            program = QStringLiteral("/bin/sh");
        }
        if (asNobody && ::geteuid() == 0) {
            child.start(QStringLiteral("setpriv"),
                        QStringList{QStringLiteral("--reuid=65534"),
                                    QStringLiteral("--regid=65534"),
                                    QStringLiteral("--clear-groups"), program} +
                            programArguments);
        } else {
            child.start(program, programArguments);
        }
        result.ran = child.waitForFinished(40000);
        result.exitCode = child.exitCode();
        result.exitStatus = child.exitStatus();
        result.out = child.readAllStandardOutput();
        result.err = child.readAllStandardError();
        if (!result.ran)
            child.kill();
        return result;
    }

    // The same scan in this process, with the designed waits shortened.
    Result runInProcess(const QStringList &arguments)
    {
        qputenv("WINORVEX_REGISTRY", m_server->address());
        Clock::setTestWaitDivisor(100);
        Result result;
        QBuffer out;
        QBuffer err;
        if (!out.open(QIODevice::WriteOnly) || !err.open(QIODevice::WriteOnly))
            return result;
        HeadlessScan scan(&out, &err);
        QSignalSpy finished(&scan, &HeadlessScan::finished);
        scan.start(QStringList{QStringLiteral("winorvex")} + arguments);
        result.ran = finished.wait(30000);
        result.exitCode = result.ran ? finished.first().first().toInt() : -1;
        result.exitStatus = QProcess::NormalExit;
        result.out = out.data();
        result.err = err.data();
        return result;
    }

    // Every file of the output, from whichever format it was written in.
    QList<Verdict> verdicts(const QString &format, const QByteArray &out, QString *summary)
    {
        QList<Verdict> found;
        if (format == QLatin1String("text")) {
            static const QRegularExpression line(QStringLiteral(
                "^(.*): (Malware detected\\.|Not detected as malware\\.|Unable to open file\\.|Not "
                "checked\\.|Skipped: .*\\.|Changed while it was scanned\\.|Unable to check "
                "against malware database\\.)(?: \\(detection rate (\\d+)%\\))?$"));
            QStringList lines = QString::fromUtf8(out).split(u'\n');
            if (!lines.isEmpty() && lines.last().isEmpty())
                lines.removeLast();
            // The last line is the scan log's summary.
            const QString last = lines.isEmpty() ? QString() : lines.takeLast();
            if (summary)
                *summary = last;
            for (const QString &text : std::as_const(lines)) {
                const QRegularExpressionMatch match = line.match(text);
                if (!match.hasMatch()) {
                    qWarning() << "not a verdict line:" << text;
                    return {};
                }
                const QString status = match.captured(2);
                // The text format shows names readably; read back, they are
                // the stored form.
                Verdict verdict{FileName::fromReadable(match.captured(1)), QString(), -2};
                const bool answered = status == QLatin1String("Malware detected.") ||
                                      status == QLatin1String("Not detected as malware.");
                verdict.kind = kindOf(answered                                  ? 4
                                      : status == QLatin1String("Not checked.") ? 1
                                                                                : 2,
                                      status);
                if (match.hasCaptured(3))
                    verdict.rate = match.captured(3).toInt();
                found.append(verdict);
            }
        } else if (format == QLatin1String("json")) {
            // Strict UTF-8 and strict JSON, as any consumer would read it.
            bool ok = false;
            const QByteArray parsed =
                python(QStringLiteral("import json, sys\n"
                                      "rows = json.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
                                      "print(json.dumps(rows))\n"),
                       out, &ok);
            if (!ok)
                return {};
            const QJsonArray rows = QJsonDocument::fromJson(parsed).array();
            for (const QJsonValue &value : rows) {
                const QJsonObject row = value.toObject();
                const QStringList keys{"name",      "path",        "md5",
                                       "sha1",      "bytes",       "detection_rate",
                                       "last_seen", "check_state", "status"};
                // The raw bytes of a path come along exactly where the path
                // needed the escapes of its lossless form.
                const QString path = row.value("path").toString();
                const bool plain = FileName::isPlain(path);
                if (row.keys().size() != keys.size() + (plain ? 0 : 1) ||
                    (!plain &&
                     QByteArray::fromBase64(row.value("path_bytes").toString().toLatin1()) !=
                         FileName::toBytes(path))) {
                    qWarning() << "unexpected keys or bytes" << row;
                    return {};
                }
                for (const QString &key : keys) {
                    if (!row.contains(key)) {
                        qWarning() << "missing key" << key;
                        return {};
                    }
                }
                Verdict verdict{row.value("path").toString(), QString(), -2};
                const int state = row.value("check_state").toInt(-1);
                verdict.kind = kindOf(state, row.value("status").toString());
                if (state == 4)
                    verdict.rate = row.value("detection_rate").toInt(-2);
                if (QFileInfo(verdict.path).fileName() != row.value("name").toString()) {
                    qWarning() << "name and path disagree" << row;
                    return {};
                }
                found.append(verdict);
            }
        } else {
            // Read back the way spreadsheets and scripts read them: Python's csv module.
            bool ok = false;
            const QString delimiter =
                format == QLatin1String("tsv") ? QStringLiteral("\\t") : QStringLiteral(",");
            const QByteArray parsed =
                python(QStringLiteral("import csv, io, json, sys\n"
                                      "text = io.TextIOWrapper(sys.stdin.buffer, encoding='utf-8', "
                                      "newline='')\n"
                                      "print(json.dumps(list(csv.reader(text, delimiter='%1'))))\n")
                           .arg(delimiter),
                       out, &ok);
            if (!ok)
                return {};
            const QJsonArray rows = QJsonDocument::fromJson(parsed).array();
            if (rows.size() < 2 ||
                rows.at(0).toArray().at(0).toString() !=
                    QLatin1String("#WinOrvex version beta 2") ||
                rows.at(1).toArray().size() != 9 ||
                rows.at(1).toArray().at(0).toString() != QLatin1String("#Name")) {
                qWarning() << "no export header" << rows;
                return {};
            }
            for (qsizetype i = 2; i < rows.size(); ++i) {
                const QJsonArray fields = rows.at(i).toArray();
                if (fields.size() != 9) {
                    qWarning() << "not nine fields:" << fields;
                    return {};
                }
                Verdict verdict{fields.at(3).toString(), QString(), -2};
                const QString state = fields.at(7).toString();
                const int stateNumber = state == QLatin1String("Checked.")           ? 4
                                        : state == QLatin1String("Unable to check.") ? 2
                                                                                     : 1;
                verdict.kind = kindOf(stateNumber, fields.at(8).toString());
                if (stateNumber == 4)
                    verdict.rate = fields.at(5).toString().toInt();
                found.append(verdict);
            }
        }
        std::sort(found.begin(), found.end(), byPath);
        return found;
    }

    // The text format gives a rate only for malware.
    static QList<Verdict> asFormatShows(QList<Verdict> expected, const QString &format)
    {
        for (Verdict &verdict : expected) {
            if (format == QLatin1String("text") && verdict.kind != QLatin1String("malicious"))
                verdict.rate = -2;
        }
        std::sort(expected.begin(), expected.end(), byPath);
        return expected;
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QVERIFY(QFileInfo(QStringLiteral(WINORVEX_EXECUTABLE)).isExecutable());
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        // Reachable by the unprivileged user that the permission cases run as.
        QVERIFY(QFile::setPermissions(m_dir->path(),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther));
        m_server = std::make_unique<RegistryTestServer>();
        QVERIFY(m_server->listen());
        // The whole answer, then the end of the connection: no tail wait.
        m_server->setCloseAfter(qint64(1) << 40);
    }

    void cleanup()
    {
        Clock::resetTestSeam();
        qunsetenv("WINORVEX_REGISTRY");
        m_server.reset();
        m_dir.reset();
    }

    void everyFormatReportsEveryFile_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("text") << QStringLiteral("text");
        QTest::newRow("csv") << QStringLiteral("csv");
        QTest::newRow("tsv") << QStringLiteral("tsv");
        QTest::newRow("json") << QStringLiteral("json");
    }

    void everyFormatReportsEveryFile()
    {
        QFETCH(QString, format);
        const QString unknown = makeFile(QStringLiteral("tree/unknown.txt"), "nobody knows me\n");
        const QString known = makeFile(QStringLiteral("tree/known.txt"), "known and clean\n");
        const QString bad = makeFile(QStringLiteral("tree/sub/bad.exe"), "pretend malware\n");
        // "|" separates the fields of the records that carry a path; a line break
        // ends a line in every line-based format.
        const QString weird =
            makeFile(QStringLiteral("tree/sub/we|ird\nname, \"q\".txt"), "odd name, listed\n");
        QVERIFY(makeRawFile(QFile::encodeName(path(QStringLiteral("tree"))), "\xff\xfename.bin"));
        m_server->setAnswer(md5Of("known and clean\n"), kSeen, 0);
        m_server->setAnswer(md5Of("pretend malware\n"), kSeen, 42);
        m_server->setAnswer(md5Of("odd name, listed\n"), kSeen, 7);

        const Result result = runWinorvex(
            {QStringLiteral("--scan"), QStringLiteral("--format"), format, path("tree")},
            environment());
        QVERIFY2(result.ran, result.err.constData());
        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, 1);

        QString summary;
        QList<Verdict> found = verdicts(format, result.out, &summary);
        QCOMPARE(found.size(), 5);
        // The name that is not UTF-8 is digested and checked like any other.
        const auto raw = std::find_if(found.begin(), found.end(), [](const Verdict &verdict) {
            return verdict.path.endsWith(QLatin1String("name.bin"));
        });
        QVERIFY(raw != found.end());
        QCOMPARE(raw->kind, QStringLiteral("clean"));
        QVERIFY(raw->path.startsWith(path(QStringLiteral("tree/"))));
        found.erase(raw);

        const QList<Verdict> expected = asFormatShows({{unknown, QStringLiteral("clean"), -1},
                                                       {known, QStringLiteral("clean"), 0},
                                                       {bad, QStringLiteral("malicious"), 42},
                                                       {weird, QStringLiteral("malicious"), 7}},
                                                      format);
        QCOMPARE(found, expected);

        if (format == QLatin1String("text")) {
            QCOMPARE(summary, QStringLiteral("The Full Scan of the directory \"%1\" took ")
                                      .arg(path(QStringLiteral("tree"))) +
                                  summary.mid(summary.indexOf(QLatin1String(" took ")) + 6));
            QVERIFY2(summary.endsWith(QLatin1String(" and found 2 malicious files of the 5 "
                                                    "scanned.")),
                     qPrintable(summary));
            // One line per file and the summary, whatever the names hold.
            QCOMPARE(result.out.count('\n'), 6);
        }
        // Progress is for terminals only; a pipe gets none.
        QVERIFY2(!result.err.contains("Files found"), result.err.constData());
    }

    void exitStatusTellsWhatWasFound_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<bool>("missingPath");
        QTest::addColumn<bool>("asNobody");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("kinds");

        QTest::newRow("clean files") << QStringList{"a.txt", "b.txt"} << false << false << 0
                                     << QStringList{"clean", "clean"};
        QTest::newRow("malware") << QStringList{"a.txt", "bad.exe"} << false << false << 1
                                 << QStringList{"clean", "malicious"};
        QTest::newRow("unreadable file") << QStringList{"a.txt", "locked.txt"} << false << true << 2
                                         << QStringList{"clean", "unreadable"};
        QTest::newRow("missing path")
            << QStringList{"a.txt"} << true << false << 2 << QStringList{"clean"};
        // A found malware is never hidden behind another error.
        QTest::newRow("missing path and malware")
            << QStringList{"bad.exe"} << true << false << 1 << QStringList{"malicious"};
    }

    void exitStatusTellsWhatWasFound()
    {
        QFETCH(QStringList, files);
        QFETCH(bool, missingPath);
        QFETCH(bool, asNobody);
        QFETCH(int, exitCode);
        QFETCH(QStringList, kinds);

        QStringList arguments{QStringLiteral("--scan")};
        for (const QString &name : std::as_const(files)) {
            const QString file = makeFile(name, name.toUtf8() + '\n');
            QFile::Permissions permissions =
                QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther;
            if (name.startsWith(QLatin1String("locked")))
                permissions = QFileDevice::WriteOwner;
            QVERIFY(QFile::setPermissions(file, permissions));
            if (name.startsWith(QLatin1String("bad")))
                m_server->setAnswer(md5Of(name.toUtf8() + '\n'), kSeen, 90);
            arguments.append(file);
        }
        const QString missing = path(QStringLiteral("no such file"));
        if (missingPath)
            arguments.append(missing);

        // Only the unprivileged case needs a process of its own.
        const Result result =
            asNobody ? runWinorvex(arguments, environment(), true) : runInProcess(arguments);
        QVERIFY2(result.ran, result.err.constData());
        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.err.contains("cannot access '" + missing.toUtf8() + "'"), missingPath);

        const QList<Verdict> found = verdicts(QStringLiteral("text"), result.out, nullptr);
        QStringList foundKinds;
        for (const Verdict &verdict : found)
            foundKinds.append(verdict.kind);
        QCOMPARE(foundKinds, kinds);
    }

    void quickScanKeepsRiskyFilesOnly()
    {
        const QString program = makeFile(QStringLiteral("tree/setup.EXE"), "installer\n");
        makeFile(QStringLiteral("tree/letter.txt"), "dear reader\n");
        const QString script = makeFile(QStringLiteral("tree/run.sh"), "#!/bin/sh\n");
        QVERIFY(QFile::setPermissions(script, QFile::permissions(script) | QFileDevice::ExeOwner));

        const Result result = runInProcess(
            {QStringLiteral("--scan"), QStringLiteral("--quick"), path(QStringLiteral("tree"))});
        QVERIFY2(result.ran, result.err.constData());
        QCOMPARE(result.exitCode, 0);
        QString summary;
        const QList<Verdict> found = verdicts(QStringLiteral("text"), result.out, &summary);
        QCOMPARE(found, asFormatShows({{program, QStringLiteral("clean"), -1},
                                       {script, QStringLiteral("clean"), -1}},
                                      QStringLiteral("text")));
        QVERIFY2(summary.startsWith(QLatin1String("The Quick Scan of the directory")),
                 qPrintable(summary));
    }

    // The summary's bold words lose their tags; names that look like tags keep them.
    void summaryIsPlainText()
    {
        const QString single = makeFile(QStringLiteral("x<b>y.txt"), "single\n");
        Result result = runInProcess({QStringLiteral("--scan"), single});
        QVERIFY(result.ran);
        QString summary;
        QCOMPARE(verdicts(QStringLiteral("text"), result.out, &summary).size(), 1);
        QVERIFY2(summary.startsWith(QLatin1String("The scan of \"x<b>y.txt\" took ")),
                 qPrintable(summary));
        QVERIFY2(summary.endsWith(QLatin1String(" and it is not malicious.")), qPrintable(summary));

        // Two folders, "a<b>b<" and "b>c" in it: the path holds both tags.
        const QString folder = path(QStringLiteral("a<b>b</b>c"));
        makeFile(QStringLiteral("a<b>b</b>c/f.txt"), "in folder\n");
        result = runInProcess({QStringLiteral("--scan"), folder});
        QVERIFY(result.ran);
        QCOMPARE(verdicts(QStringLiteral("text"), result.out, &summary).size(), 1);
        QVERIFY2(summary.startsWith(
                     QStringLiteral("The Full Scan of the directory \"%1\" took ").arg(folder)),
                 qPrintable(summary));
    }

    // A file that could not be read was not checked: its summary must not
    // call it "not malicious".
    void singleUncheckedFileIsNotCalledClean()
    {
        const QString file = makeFile(QStringLiteral("locked.txt"), "locked\n");
        QVERIFY(QFile::setPermissions(file, QFileDevice::WriteOwner));
        const Result result = runWinorvex({QStringLiteral("--scan"), file}, environment(), true);
        QVERIFY2(result.ran, result.err.constData());
        QCOMPARE(result.exitCode, 2);
        QString summary;
        const QList<Verdict> found = verdicts(QStringLiteral("text"), result.out, &summary);
        QCOMPARE(found, (QList<Verdict>{{file, QStringLiteral("unreadable"), -2}}));
        // The system's reason goes to standard error.
        QVERIFY2(result.err.contains("winorvex: cannot read '" + file.toUtf8() +
                                     "': Permission denied\n"),
                 result.err.constData());
        QVERIFY2(summary.startsWith(QLatin1String("The scan of \"locked.txt\" took ")),
                 qPrintable(summary));
        QVERIFY2(summary.endsWith(QLatin1String(" and it could not be checked.")),
                 qPrintable(summary));
    }

    // The document is written a record at a time, still strict JSON whatever
    // the names hold, and laid out as a whole QJsonDocument would lay it out.
    void jsonIsStrictForAnyName()
    {
        const QStringList names{QStringLiteral("quote\"d.txt"),
                                QStringLiteral("back\\slash.txt"),
                                QStringLiteral("ctl\x01\x1f\x7f.txt"),
                                QStringLiteral("tab\tand\nbreak.txt"),
                                QStringLiteral("\u00e9t\u00e9 \u2603.txt"),
                                QStringLiteral("slash\\u0041.txt")};
        QStringList files;
        for (int i = 0; i < names.size(); ++i)
            files.append(makeFile(QStringLiteral("tree/") + names.at(i), QByteArray::number(i)));
        files.sort();

        const Result result = runInProcess({QStringLiteral("--scan"), QStringLiteral("--format"),
                                            QStringLiteral("json"), path(QStringLiteral("tree"))});
        QVERIFY2(result.ran, result.err.constData());
        QCOMPARE(result.exitCode, 0);
        bool ok = false;
        const QByteArray parsed =
            python(QStringLiteral("import json, sys\n"
                                  "rows = json.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
                                  "print(json.dumps(sorted(row['path'] for row in rows)))\n"),
                   result.out, &ok);
        QVERIFY(ok);
        QStringList paths;
        for (const QJsonValue &value : QJsonDocument::fromJson(parsed).array())
            paths.append(value.toString());
        QCOMPARE(paths, files);

        QJsonParseError error;
        const QJsonDocument whole = QJsonDocument::fromJson(result.out, &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(whole.array().size(), names.size());
        QCOMPARE(result.out, whole.toJson(QJsonDocument::Indented));
    }

    void emptyFolderSaysSo()
    {
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("empty")));
        const Result result = runWinorvex({QStringLiteral("--scan"), QStringLiteral("--format"),
                                           QStringLiteral("json"), path(QStringLiteral("empty"))},
                                          environment());
        QVERIFY(result.ran);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(result.out).array().size(), 0);
        QVERIFY(QJsonDocument::fromJson(result.out).isArray());
        QVERIFY2(result.err.contains("The directory '" + path(QStringLiteral("empty")).toUtf8() +
                                     "' doesn't contain any files."),
                 result.err.constData());
        QCOMPARE(m_server->requestCount(), 0);
    }

    // The EICAR test file under a name with a byte that is not UTF-8 is found
    // by the walk and, named itself, is scanned too: malware either way, the
    // name shown readably in text and given back whole by JSON.
    void eicarUnderANameThatIsNotText_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("named");
        QTest::newRow("text, found in its folder") << QStringLiteral("text") << false;
        QTest::newRow("text, named") << QStringLiteral("text") << true;
        QTest::newRow("json, found in its folder") << QStringLiteral("json") << false;
        QTest::newRow("json, named") << QStringLiteral("json") << true;
    }

    void eicarUnderANameThatIsNotText()
    {
        QFETCH(QString, format);
        QFETCH(bool, named);
        const QByteArray folder = QFile::encodeName(path(QStringLiteral("tree")));
        QVERIFY(QDir().mkpath(path(QStringLiteral("tree"))));
        const QByteArray raw = folder + "/caf\xe9 eicar.com";
        QVERIFY(makeRawFile(folder, "caf\xe9 eicar.com", kEicar.toLatin1()));
        // Qt's own folder removal cannot name it.
        const auto removeRaw = qScopeGuard([&raw] { ::unlink(raw.constData()); });
        m_server->setAnswer(QStringLiteral("44d88612fea8a8f36de82e1278abb02f"), kSeen, 66);

        QStringList arguments{QStringLiteral("--scan"), QStringLiteral("--format"), format};
        if (!named)
            arguments << path(QStringLiteral("tree"));
        const Result result =
            runWinorvex(arguments, environment(), false, named ? raw : QByteArray());
        QVERIFY2(result.ran, result.err.constData());
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(!result.err.contains("cannot access"), result.err.constData());
        const QString lossless = FileName::fromBytes(raw);
        QCOMPARE(verdicts(format, result.out, nullptr),
                 asFormatShows({{lossless, QStringLiteral("malicious"), 66}}, format));
        if (format == QLatin1String("text")) {
            QVERIFY2(result.out.startsWith(folder + "/caf\\xe9 eicar.com: Malware detected. "
                                                    "(detection rate 66%)\n"),
                     result.out.constData());
            return;
        }
        // Any JSON reader gets the name's bytes back.
        bool ok = false;
        const QByteArray bytes =
            python(QStringLiteral("import base64, json, sys\n"
                                  "rows = json.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
                                  "print(base64.b64decode(rows[0]['path_bytes']).hex())\n"),
                   result.out, &ok);
        QVERIFY(ok);
        QCOMPARE(bytes.trimmed(), raw.toHex());
    }

    // A file past PATH_MAX is found, read and checked like any other.
    void fileDeeperThanPathMaxIsChecked()
    {
        QVERIFY(QDir().mkpath(path(QStringLiteral("deep"))));
        const DeepTree tree(path(QStringLiteral("deep")), 2100);
        QVERIFY(tree.isValid());
        QVERIFY(tree.writeFile(tree.depth(), "eicar.com", kEicar.toLatin1()));
        const QString file = tree.folderPath(tree.depth()) + QStringLiteral("/eicar.com");
        QVERIFY(FileName::toBytes(file).size() > 4096);
        m_server->setAnswer(QStringLiteral("44d88612fea8a8f36de82e1278abb02f"), kSeen, 66);

        const Result result =
            runInProcess({QStringLiteral("--scan"), path(QStringLiteral("deep"))});
        QVERIFY2(result.ran, result.err.constData());
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(verdicts(QStringLiteral("text"), result.out, nullptr),
                 (QList<Verdict>{{file, QStringLiteral("malicious"), 66}}));
    }

    // Folders the user may not read are named, one line each, and the scan is
    // not clean; a scan item that could not be read is not called empty.
    void unreadableFoldersAreNamed_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QStringList>("kinds");
        QTest::newRow("folder in the walk") << QStringLiteral("tree") << QStringList{"clean"};
        QTest::newRow("scan item") << QStringLiteral("tree/closed") << QStringList{};
    }

    void unreadableFoldersAreNamed()
    {
        QFETCH(QString, item);
        QFETCH(QStringList, kinds);
        makeFile(QStringLiteral("tree/open.txt"), "open\n");
        makeFile(QStringLiteral("tree/closed/secret.txt"), "secret\n");
        const QString closed = path(QStringLiteral("tree/closed"));
        const QFileDevice::Permissions readable =
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther;
        const QFileDevice::Permissions enterable =
            readable | QFileDevice::ExeOwner | QFileDevice::ExeOther;
        QVERIFY(QFile::setPermissions(path(QStringLiteral("tree")), enterable));
        QVERIFY(QFile::setPermissions(path(QStringLiteral("tree/open.txt")), readable));
        // Closed to its owner too, for a run that is not root's.
        QVERIFY(QFile::setPermissions(closed, QFileDevice::Permissions()));
        const auto reopen = qScopeGuard([&] { QFile::setPermissions(closed, enterable); });

        const Result result =
            runWinorvex({QStringLiteral("--scan"), path(item)}, environment(), true);
        QVERIFY2(result.ran, result.err.constData());
        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("winorvex: cannot read folder '" + closed.toUtf8() +
                                     "': Permission denied\n"),
                 result.err.constData());
        QVERIFY2(!result.err.contains("contain any files"), result.err.constData());
        QString summary;
        QStringList foundKinds;
        for (const Verdict &verdict : verdicts(QStringLiteral("text"), result.out, &summary))
            foundKinds << verdict.kind;
        QCOMPARE(foundKinds, kinds);
        QVERIFY2(summary.endsWith(QLatin1String(" 1 folder could not be read.")),
                 qPrintable(summary));
    }

    // A file of a pseudo file system named on the command line is never read
    // (/proc/kmsg would block and consume the kernel's log): it is reported as
    // skipped, the scan ends, and it is not clean.
    void kernelFilesAreSkipped_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("asNobody");
        QTest::newRow("/proc/self/status") << QStringLiteral("/proc/self/status") << false;
        // Unprivileged, so that even a read by mistake could take nothing.
        QTest::newRow("/proc/kmsg, unprivileged") << QStringLiteral("/proc/kmsg") << true;
    }

    void kernelFilesAreSkipped()
    {
        QFETCH(QString, file);
        QFETCH(bool, asNobody);
        if (!QFileInfo(file).isFile())
            QSKIP("this machine has no such kernel file");
        const Result result =
            asNobody ? runWinorvex({QStringLiteral("--scan"), file}, environment(), true)
                     : runInProcess({QStringLiteral("--scan"), file});
        QVERIFY2(result.ran, result.err.constData());
        QCOMPARE(result.exitCode, 2);
        QString summary;
        QCOMPARE(verdicts(QStringLiteral("text"), result.out, &summary),
                 (QList<Verdict>{{file, QStringLiteral("skipped"), -2}}));
        QVERIFY2(
            result.out.startsWith(file.toUtf8() + ": Skipped: On a pseudo file system (proc).\n"),
            result.out.constData());
        QVERIFY2(summary.endsWith(QLatin1String(" and it could not be checked.")),
                 qPrintable(summary));
        QCOMPARE(m_server->requestCount(), 0);
    }

    // A path that is there but cannot be reached says the system's own reason.
    void pathsThatCannotBeReachedSayWhy_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QStringLiteral("missing") << "No such file or directory";
        QTest::newRow("symbolic link loop")
            << QStringLiteral("loop") << "Too many levels of symbolic links";
        QTest::newRow("through a file") << QStringLiteral("a.txt/inside") << "Not a directory";
    }

    void pathsThatCannotBeReachedSayWhy()
    {
        QFETCH(QString, item);
        QFETCH(QString, reason);
        makeFile(QStringLiteral("a.txt"), "a\n");
        QVERIFY(QFile::link(path(QStringLiteral("loop2")), path(QStringLiteral("loop"))));
        QVERIFY(QFile::link(path(QStringLiteral("loop")), path(QStringLiteral("loop2"))));
        const Result result = runInProcess({QStringLiteral("--scan"), path(item)});
        QVERIFY(result.ran);
        QCOMPARE(result.exitCode, 2);
        QCOMPARE(QString::fromUtf8(result.err),
                 QStringLiteral("winorvex: cannot access '%1': %2\n").arg(path(item), reason));
        QCOMPARE(result.out, QByteArray());
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");

        QTest::newRow("help") << QStringList{"--help"} << 0 << "--format <FORMAT>"
                              << "";
        QTest::newRow("short help") << QStringList{"-h"} << 0 << "--scan"
                                    << "";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "WinOrvex beta 2\n"
                                 << "";
        QTest::newRow("unknown option") << QStringList{"--scan", "--bogus", "/"} << 2 << ""
                                        << "Unknown option 'bogus'";
        QTest::newRow("unknown format") << QStringList{"--scan", "--format", "xml", "/"} << 2 << ""
                                        << "unknown format 'xml'";
        QTest::newRow("no path") << QStringList{"--scan"} << 2 << ""
                                 << "--scan needs at least one file or folder";
        QTest::newRow("only missing paths")
            << QStringList{"--scan", "/no/such/path"} << 2 << ""
            << "cannot access '/no/such/path': No such file or directory";
        QTest::newRow("not a file") << QStringList{"--scan", "/dev/null"} << 2 << ""
                                    << "'/dev/null' is neither a regular file nor a folder";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);

        // No display and no usable platform plugin: none is needed.
        QProcessEnvironment env = environment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-platform"));
        const Result result = runWinorvex(arguments, env);
        QVERIFY(result.ran);
        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, exitCode);
        if (out.isEmpty())
            QCOMPARE(result.out, QByteArray());
        else
            QVERIFY2(result.out.contains(out.toUtf8()), result.out.constData());
        QVERIFY2(result.err.contains(err.toUtf8()), result.err.constData());
    }

    void scansWithoutDisplay()
    {
        const QString file = makeFile(QStringLiteral("a.txt"), "a\n");
        QProcessEnvironment env = environment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-platform"));
        const Result result = runWinorvex({QStringLiteral("--scan"), file}, env);
        QVERIFY(result.ran);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(
            QString::fromUtf8(result.out),
            QStringLiteral("%1: Not detected as malware.\nThe scan of \"a.txt\" took ").arg(file) +
                QString::fromUtf8(result.out).section(QStringLiteral(" took "), 1));
        QVERIFY2(result.out.endsWith(" and it is not malicious.\n"), result.out.constData());
        QCOMPARE(m_server->requestCount(), 1);
    }

    void unwritableOutputIsAnError_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("clean file") << QStringLiteral("clean\n") << 2;
        // A found malware is never hidden behind another error.
        QTest::newRow("malware") << QStringLiteral("bad\n") << 1;
    }

    // A reader that goes away in the middle of the results (as "| head" does)
    // leaves a write cut short: the message still gives the system's reason.
    void closedPipeSaysWhy()
    {
        // One line longer than a pipe holds: 70 folders whose names are 255
        // control characters, each shown as four.
        QVERIFY(QDir().mkpath(path(QStringLiteral("tree"))));
        const DeepTree tree(path(QStringLiteral("tree")), 70, QByteArray(255, '\x01'));
        QVERIFY(tree.isValid());
        QVERIFY(tree.writeFile(tree.depth(), "f", "deep\n"));
        int output[2];
        QCOMPARE(::pipe2(output, O_CLOEXEC), 0);
        // A second write end tells when the pipe is full; the reader's going
        // away fails the writer's write all the same.
        const int probe = ::fcntl(output[1], F_DUPFD_CLOEXEC, 0);
        QVERIFY(probe >= 0);
        auto closeEnds = qScopeGuard([&] {
            ::close(output[0]);
            ::close(probe);
        });
        const int writeEnd = output[1];

        QProcess child;
        child.setProcessEnvironment(environment());
        child.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
        child.start(QStringLiteral(WINORVEX_EXECUTABLE),
                    {QStringLiteral("--scan"), path(QStringLiteral("tree"))});
        ::close(writeEnd);
        QVERIFY(child.waitForStarted());
        // Full: the line is being written and waits for a reader.
        const auto pipeFull = [probe] {
            pollfd writable{probe, POLLOUT, 0};
            return ::poll(&writable, 1, 0) == 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(pipeFull(), 40000);
        closeEnds.dismiss();
        ::close(output[0]);
        ::close(probe);
        QVERIFY(child.waitForFinished(40000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 2);
        const QByteArray err = child.readAllStandardError();
        QVERIFY2(err.contains("winorvex: could not write the results: Broken pipe\n"),
                 err.constData());
    }

    void unwritableOutputIsAnError()
    {
        QFETCH(QString, content);
        QFETCH(int, exitCode);
        QVERIFY(QFileInfo(QStringLiteral("/dev/full")).isWritable());
        const QString file = makeFile(QStringLiteral("a.txt"), content.toUtf8());
        m_server->setAnswer(md5Of("bad\n"), kSeen, 60);

        QProcess child;
        child.setProcessEnvironment(environment());
        child.setStandardOutputFile(QStringLiteral("/dev/full"));
        child.start(QStringLiteral(WINORVEX_EXECUTABLE), {QStringLiteral("--scan"), file});
        QVERIFY(child.waitForFinished(40000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), exitCode);
        const QByteArray err = child.readAllStandardError();
        QVERIFY2(err.contains("could not write the results: No space left on device"),
                 err.constData());
    }

    void stopSignalEndsTheScan_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
    }

    // The registry takes every request and hangs up without an answer, so the
    // scan waits in its reconnection delays when the signal comes.
    void stopSignalEndsTheScan()
    {
        QFETCH(int, signalNumber);
        const QString file = makeFile(QStringLiteral("a.txt"), "a\n");
        m_server->setCloseAfter(0);

        QProcess child;
        child.setProcessEnvironment(environment());
        child.start(QStringLiteral(WINORVEX_EXECUTABLE), {QStringLiteral("--scan"), file});
        QVERIFY(child.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(m_server->requestCount() >= 1, 20000);
        const pid_t pid = pid_t(child.processId());
        QVERIFY(pid > 0); // 0 would signal this whole process group
        QElapsedTimer stopping;
        stopping.start();
        QCOMPARE(::kill(pid, signalNumber), 0);
        QVERIFY(child.waitForFinished(20000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 2);
        const QByteArray err = child.readAllStandardError();
        QVERIFY2(err.contains("stopping the scan"), err.constData());
        QVERIFY2(err.contains(signalNumber == SIGINT ? "SIGINT received" : "SIGTERM received"),
                 err.constData());
        // The file was never answered: a stop keeps only answered files.
        const QString out = QString::fromUtf8(child.readAllStandardOutput());
        QVERIFY2(out.startsWith(QLatin1String("The Full Scan of \"a.txt\" was aborted after ")),
                 qPrintable(out));
        QCOMPARE(out.count(u'\n'), 1);
    }

    // A background job of a non-interactive shell ignores SIGINT, and the scan
    // keeps it that way: the terminal's Ctrl+C is not meant for it.
    void ignoredInterruptStaysIgnored()
    {
        const QString file = makeFile(QStringLiteral("a.txt"), "a\n");
        m_server->setCloseAfter(0);

        QProcess child;
        child.setProcessEnvironment(environment());
        child.setChildProcessModifier([] { ::signal(SIGINT, SIG_IGN); });
        child.start(QStringLiteral(WINORVEX_EXECUTABLE), {QStringLiteral("--scan"), file});
        QVERIFY(child.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(m_server->requestCount() >= 1, 20000);
        const pid_t pid = pid_t(child.processId());
        QVERIFY(pid > 0);
        // SIGINT is delivered before SIGTERM when both are pending.
        QCOMPARE(::kill(pid, SIGINT), 0);
        QCOMPARE(::kill(pid, SIGTERM), 0);
        QVERIFY(child.waitForFinished(20000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 2);
        const QByteArray err = child.readAllStandardError();
        QVERIFY2(err.contains("winorvex: SIGTERM received\n"), err.constData());
        QVERIFY2(!err.contains("SIGINT"), err.constData());
    }

    // A first stop is honoured at once; one that cannot end the process (here its
    // results wait for a full standard output) is cut short by a second Ctrl+C.
    void secondInterruptQuitsAtOnce()
    {
        const QString file = makeFile(QStringLiteral("a.txt"), "a\n");
        m_server->setSilent(true);
        int output[2];
        QCOMPARE(::pipe2(output, O_CLOEXEC | O_NONBLOCK), 0);
        const auto closeOutput = qScopeGuard([&output] {
            ::close(output[0]);
            ::close(output[1]);
        });
        const QByteArray block(4096, 'x');
        while (::write(output[1], block.constData(), size_t(block.size())) > 0) {
        }
        QCOMPARE(errno, EAGAIN);
        // The child's writes block on the full pipe instead of failing.
        QCOMPARE(::fcntl(output[1], F_SETFL, 0), 0);
        const int writeEnd = output[1];

        QProcess child;
        child.setProcessEnvironment(environment());
        child.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
        child.start(QStringLiteral(WINORVEX_EXECUTABLE), {QStringLiteral("--scan"), file});
        QVERIFY(child.waitForStarted());
        const pid_t pid = pid_t(child.processId());
        QVERIFY(pid > 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_server->requestCount() >= 1, 20000);
        QCOMPARE(::kill(pid, SIGINT), 0);
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += child.readAllStandardError()).contains("stopping"), 5000);
        QCOMPARE(child.state(), QProcess::Running);
        QCOMPARE(::kill(pid, SIGINT), 0);
        QVERIFY(child.waitForFinished(3000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    }

    void demoHashListFlagsTheEicarTestFile()
    {
        QCOMPARE(md5Of(kEicar.toLatin1()), QStringLiteral("44d88612fea8a8f36de82e1278abb02f"));
        QProcess server;
        server.start(QStringLiteral(WINORVEX_SERVER_EXECUTABLE),
                     {QStringLiteral("--registry-port"), QStringLiteral("0"),
                      // Hanging up soon after the answer spares the client its wait
                      // for more.
                      QStringLiteral("--idle-timeout"), QStringLiteral("0.1"),
                      QStringLiteral("--hash-list"),
                      QStringLiteral(WINORVEX_SOURCE_DIR "/server/demo/hashlist.txt")});
        const auto stopServer = qScopeGuard([&server] {
            server.terminate();
            server.waitForFinished(5000);
        });
        QByteArray listening;
        QTRY_VERIFY_WITH_TIMEOUT((listening += server.readAllStandardOutput()).contains('\n'),
                                 10000);
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("^registry listening on (\\S+)\\n"))
                .match(QString::fromUtf8(listening));
        QVERIFY2(match.hasMatch(), listening.constData());

        const QString eicar = makeFile(QStringLiteral("demo/eicar.com"), kEicar.toLatin1());
        const QString clean = makeFile(QStringLiteral("demo/readme.txt"), "hello\n");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("WINORVEX_REGISTRY"), match.captured(1));
        const Result result =
            runWinorvex({QStringLiteral("--scan"), path(QStringLiteral("demo"))}, env);
        QVERIFY2(result.ran, result.err.constData());
        QCOMPARE(result.exitCode, 1);
        const QList<Verdict> found = verdicts(QStringLiteral("text"), result.out, nullptr);
        QCOMPARE(found.size(), 2);
        QCOMPARE(found.at(0).path, eicar);
        QCOMPARE(found.at(0).kind, QStringLiteral("malicious"));
        QVERIFY(found.at(0).rate > 0);
        QCOMPARE(found.at(1), (Verdict{clean, QStringLiteral("clean"), -2}));
    }

    // In process, so that the designed reconnection delays (1 + 2 + ... + 32
    // seconds) can be shortened through the clock.
    void unreachableRegistryNamesItsAddress()
    {
        const QString file = makeFile(QStringLiteral("a.txt"), "a\n");
        QVERIFY(m_server->setRefusing(true));
        const QByteArray address = m_server->address();
        qputenv("WINORVEX_REGISTRY", address);
        Clock::setTestWaitDivisor(1000);

        QBuffer out;
        QBuffer err;
        QVERIFY(out.open(QIODevice::WriteOnly));
        QVERIFY(err.open(QIODevice::WriteOnly));
        HeadlessScan scan(&out, &err);
        // As on a terminal, where the progress line shows the connection's state.
        scan.setProgressShown(true);
        QSignalSpy finished(&scan, &HeadlessScan::finished);
        scan.start({QStringLiteral("winorvex"), QStringLiteral("--scan"), file});
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.first().first().toInt(), 2);
        QCOMPARE(scan.exitStatus(), 2);
        QVERIFY2(err.data().contains("could not reach the malware database at " + address),
                 err.data().constData());
        // Said once; the progress lines after it do not repeat the failure.
        QCOMPARE(err.data().count("could not reach the malware database"), 1);
        const QByteArray after =
            err.data().mid(err.data().indexOf("could not reach the malware database"));
        QCOMPARE(after.count("malware database"), 1);
        const QStringList lines = QString::fromUtf8(out.data()).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(0), file + QStringLiteral(": Not checked."));
        QVERIFY2(
            lines.at(1).startsWith(QLatin1String("The Full Scan of \"a.txt\" was aborted after")),
            qPrintable(lines.at(1)));
        QCOMPARE(m_server->connectionCount(), 0);
    }

    // A registry that leaves the line end off its last line never answers the
    // last digest whole: the scan still finishes, with that file unchecked.
    void aDigestNeverAnsweredEndsUnchecked()
    {
        const QString file = makeFile(QStringLiteral("a.txt"), "nobody answers for me\n");
        m_server->setLastLineEndOmitted(true);
        const Result result = runInProcess(
            {QStringLiteral("--scan"), QStringLiteral("--format"), QStringLiteral("json"), file});
        QVERIFY2(result.ran, result.err.constData());
        QCOMPARE(result.exitCode, 2);
        QCOMPARE(m_server->requestCount(), 3);
        const QJsonArray rows = QJsonDocument::fromJson(result.out).array();
        QCOMPARE(rows.size(), 1);
        const QJsonObject row = rows.at(0).toObject();
        QCOMPARE(row.value("path").toString(), file);
        QCOMPARE(row.value("check_state").toInt(), 2);
        QCOMPARE(row.value("status").toString(),
                 QStringLiteral("Unable to check against malware database."));
    }

    void stopDuringQueryKeepsAnsweredFilesOnly()
    {
        const QString file = makeFile(QStringLiteral("a.txt"), "a\n");
        m_server->setSilent(true);
        qputenv("WINORVEX_REGISTRY", m_server->address());
        Clock::setTestWaitDivisor(100);

        QBuffer out;
        QBuffer err;
        QVERIFY(out.open(QIODevice::WriteOnly));
        QVERIFY(err.open(QIODevice::WriteOnly));
        HeadlessScan scan(&out, &err);
        scan.setProgressShown(true);
        QSignalSpy finished(&scan, &HeadlessScan::finished);
        scan.start({QStringLiteral("winorvex"), QStringLiteral("--scan"),
                    QStringLiteral("--format"), QStringLiteral("json"), file});
        QTRY_VERIFY_WITH_TIMEOUT(m_server->requestCount() >= 1, 10000);
        QVERIFY(scan.isRunning());
        scan.userRequestStop();
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.first().first().toInt(), 2);
        QCOMPARE(QJsonDocument::fromJson(out.data()).array().size(), 0);
        QVERIFY(QJsonDocument::fromJson(out.data()).isArray());
        // A terminal's progress line, and the summary there as the output is JSON.
        QVERIFY2(err.data().contains("Files found: 1, digested: 1, answered: 0"),
                 err.data().constData());
        QVERIFY2(err.data().contains("The Full Scan of \"a.txt\" was aborted after"),
                 err.data().constData());
        QVERIFY(!scan.isRunning());
    }

    void terminalIsToldFromPipe()
    {
        int pipeFds[2];
        QCOMPARE(::pipe(pipeFds), 0);
        QVERIFY(!Terminal::isTerminal(pipeFds[0]));
        QVERIFY(!Terminal::isTerminal(pipeFds[1]));
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);

        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        const auto closeMaster = qScopeGuard([master] { ::close(master); });
        QCOMPARE(::grantpt(master), 0);
        QCOMPARE(::unlockpt(master), 0);
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
        QVERIFY(slave >= 0);
        QVERIFY(Terminal::isTerminal(slave));
        ::close(slave);
        QVERIFY(!Terminal::isTerminal(slave));
    }

    void argumentsChooseTheMode_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("headless");
        QTest::newRow("window") << QStringList{"winorvex"} << false;
        QTest::newRow("minimized window") << QStringList{"winorvex", "/minimize"} << false;
        QTest::newRow("scan") << QStringList{"winorvex", "--quick", "--scan", "/tmp"} << true;
        QTest::newRow("help") << QStringList{"winorvex", "--help"} << true;
        QTest::newRow("version") << QStringList{"winorvex", "-v"} << true;
        QTest::newRow("after --") << QStringList{"winorvex", "--", "--scan"} << false;
        QTest::newRow("program name only") << QStringList{"--scan"} << false;
    }

    void argumentsChooseTheMode()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, headless);
        QCOMPARE(HeadlessScan::handlesArguments(arguments), headless);
    }
};

QTEST_GUILESS_MAIN(TestHeadlessScan)
#include "tst_headlessscan.moc"
