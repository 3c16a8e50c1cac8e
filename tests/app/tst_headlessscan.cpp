#include "app/headlessscan.h"
#include "platform/clock.h"
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

// The escapes the text format writes so that every file is one line.
QString unescape(const QString &text)
{
    QString plain;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != u'\\' || i + 1 == text.size()) {
            plain += text.at(i);
            continue;
        }
        const QChar next = text.at(++i);
        if (next == u'n')
            plain += u'\n';
        else if (next == u'r')
            plain += u'\r';
        else if (next == u't')
            plain += u'\t';
        else if (next == u'x') {
            plain += QChar(text.mid(i + 1, 2).toUShort(nullptr, 16));
            i += 2;
        } else
            plain += next;
    }
    return plain;
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
    bool makeRawFile(const QByteArray &folder, const QByteArray &name)
    {
        const QByteArray file = folder + '/' + name;
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return false;
        const bool written = ::write(fd, "raw\n", 4) == 4;
        ::close(fd);
        return written;
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("WINORVEX_REGISTRY"), QString::fromLatin1(m_server->address()));
        return env;
    }

    Result runWinorvex(const QStringList &arguments, const QProcessEnvironment &env,
                       bool asNobody = false)
    {
        Result result;
        QProcess child;
        child.setProcessEnvironment(env);
        const QString program = QStringLiteral(WINORVEX_EXECUTABLE);
        if (asNobody && ::geteuid() == 0) {
            child.start(QStringLiteral("setpriv"),
                        QStringList{QStringLiteral("--reuid=65534"),
                                    QStringLiteral("--regid=65534"),
                                    QStringLiteral("--clear-groups"), program} +
                            arguments);
        } else {
            child.start(program, arguments);
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
                "checked\\.)(?: \\(detection rate (\\d+)%\\))?$"));
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
                Verdict verdict{unescape(match.captured(1)), QString(), -2};
                if (status == QLatin1String("Malware detected."))
                    verdict.kind = QStringLiteral("malicious");
                else if (status == QLatin1String("Unable to open file."))
                    verdict.kind = QStringLiteral("unreadable");
                else if (status == QLatin1String("Not checked."))
                    verdict.kind = QStringLiteral("unchecked");
                else
                    verdict.kind = QStringLiteral("clean");
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
                if (row.keys().size() != keys.size()) {
                    qWarning() << "unexpected keys" << row.keys();
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
                const int rate = row.value("detection_rate").toInt(-2);
                if (state == 4) {
                    verdict.kind = rate > 0 ? QStringLiteral("malicious") : QStringLiteral("clean");
                    verdict.rate = rate;
                } else if (state == 2) {
                    verdict.kind = QStringLiteral("unreadable");
                } else {
                    verdict.kind = QStringLiteral("unchecked");
                }
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
                const QString status = fields.at(8).toString();
                if (state == QLatin1String("Unable to check.")) {
                    verdict.kind = QStringLiteral("unreadable");
                } else if (state == QLatin1String("Checked.")) {
                    verdict.kind = status == QLatin1String("Malware detected.")
                                       ? QStringLiteral("malicious")
                                       : QStringLiteral("clean");
                    verdict.rate = fields.at(5).toString().toInt();
                } else {
                    verdict.kind = QStringLiteral("unchecked");
                }
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
        QVERIFY2(err.contains("could not write the results"), err.constData());
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
