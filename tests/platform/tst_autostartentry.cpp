#include "platform/autostartentry.h"
#include "testenvironment.h"

#include <QtTest>

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {
QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

QByteArray execLineOf(const QByteArray &entry)
{
    for (const QByteArray &line : entry.split('\n'))
        if (line.startsWith("Exec="))
            return line.mid(5);
    return QByteArray();
}
} // namespace

class TestAutostartEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void cleanup() { QFile::remove(AutostartEntry::path(QStringLiteral("WinOrvex"))); }

    void entryLivesInTheAutostartFolder()
    {
        QCOMPARE(AutostartEntry::path(QStringLiteral("WinOrvex")),
                 QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                     QStringLiteral("/autostart/WinOrvex.desktop"));
    }

    // The program's path is quoted by the Desktop Entry rules, and read back by
    // them, whatever it holds.
    void execLineQuotesThePath_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("exec");
        QTest::newRow("plain") << "/usr/bin/winorvex"
                               << QByteArray("\"/usr/bin/winorvex\" /minimize");
        QTest::newRow("blank") << "/opt/Win Orvex/winorvex"
                               << QByteArray("\"/opt/Win Orvex/winorvex\" /minimize");
        QTest::newRow("quote") << "/opt/say \"hi\"/winorvex"
                               << QByteArray("\"/opt/say \\\\\"hi\\\\\"/winorvex\" /minimize");
        QTest::newRow("percent") << "/opt/100%/winorvex"
                                 << QByteArray("\"/opt/100%%/winorvex\" /minimize");
        QTest::newRow("dollar") << "/opt/$HOME/winorvex"
                                << QByteArray("\"/opt/\\\\$HOME/winorvex\" /minimize");
        QTest::newRow("backslash")
            << "/opt/a\\b/winorvex" << QByteArray("\"/opt/a\\\\\\\\b/winorvex\" /minimize");
        QTest::newRow("backtick") << "/opt/`id`/winorvex"
                                  << QByteArray("\"/opt/\\\\`id\\\\`/winorvex\" /minimize");
        QTest::newRow("line feed")
            << "/opt/a\nb/winorvex" << QByteArray("\"/opt/a\\nb/winorvex\" /minimize");
        QTest::newRow("non-ASCII")
            << "/opt/Wïn Örvex/winorvex"
            << QByteArray("\"/opt/W\xc3\xafn \xc3\x96rvex/winorvex\" /minimize");
    }
    void execLineQuotesThePath()
    {
        QFETCH(QString, program);
        QFETCH(QByteArray, exec);
        QVERIFY(AutostartEntry::setAutorun(QStringLiteral("WinOrvex"), program));
        const QByteArray entry = readFile(AutostartEntry::path(QStringLiteral("WinOrvex")));
        QCOMPARE(execLineOf(entry), exec);
        QCOMPARE(AutostartEntry::execArguments(QString::fromUtf8(execLineOf(entry))),
                 (QStringList{program, QStringLiteral("/minimize")}));
        QVERIFY(AutostartEntry::isAutorunRegistered(QStringLiteral("WinOrvex"), program));
        QVERIFY(!AutostartEntry::isAutorunRegistered(QStringLiteral("WinOrvex"),
                                                     QStringLiteral("/usr/bin/other")));
        AutostartEntry::removeAutorun(QStringLiteral("WinOrvex"));
        QVERIFY(!QFile::exists(AutostartEntry::path(QStringLiteral("WinOrvex"))));
        QVERIFY(!AutostartEntry::isAutorunRegistered(QStringLiteral("WinOrvex"), program));
    }

    // Entries as desktops and users leave them: only an enabled entry that
    // starts this program is ours.
    void onlyAnEnabledEntryOfThisProgramCounts_data()
    {
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<bool>("registered");
        const QByteArray ours = "Exec=\"/opt/win orvex/winorvex\" /minimize\n";
        QTest::newRow("ours") << "[Desktop Entry]\nType=Application\n" + ours << true;
        QTest::newRow("escaped blank outside quotes splits the path")
            << QByteArray("[Desktop Entry]\nExec = /opt/win\\sorvex/winorvex /minimize\n") << false;
        QTest::newRow("escaped blank inside quotes")
            << QByteArray("[Desktop Entry]\nExec=\"/opt/win\\sorvex/winorvex\"\n") << true;
        QTest::newRow("hidden") << "[Desktop Entry]\nHidden=true\n" + ours << false;
        QTest::newRow("switched off in GNOME")
            << "[Desktop Entry]\n" + ours + "X-GNOME-Autostart-enabled=false\n"
            << false;
        QTest::newRow("switched on in GNOME")
            << "[Desktop Entry]\n" + ours + "X-GNOME-Autostart-enabled=true\n"
            << true;
        QTest::newRow("another program")
            << QByteArray("[Desktop Entry]\nExec=\"/usr/bin/other\" /minimize\n") << false;
        QTest::newRow("another program's argument")
            << QByteArray("[Desktop Entry]\nExec=/usr/bin/env \"/opt/win orvex/winorvex\"\n")
            << false;
        QTest::newRow("in another group") << "[Desktop Action scan]\n" + ours << false;
        QTest::newRow("after another group")
            << "[Desktop Action scan]\nExec=x\n[Desktop Entry]\n" + ours << true;
        QTest::newRow("quote left open")
            << QByteArray("[Desktop Entry]\nExec=\"/opt/win orvex/winorvex /minimize\n") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void onlyAnEnabledEntryOfThisProgramCounts()
    {
        QFETCH(QByteArray, entry);
        QFETCH(bool, registered);
        writeFile(AutostartEntry::path(QStringLiteral("WinOrvex")), entry);
        QCOMPARE(AutostartEntry::isAutorunRegistered(QStringLiteral("WinOrvex"),
                                                     QStringLiteral("/opt/win orvex/winorvex")),
                 registered);
    }

    void settingReplacesADisabledEntry()
    {
        const QString program = QStringLiteral("/opt/win orvex/winorvex");
        writeFile(AutostartEntry::path(QStringLiteral("WinOrvex")),
                  "[Desktop Entry]\nExec=\"/opt/win orvex/winorvex\" /minimize\nHidden=true\n");
        QVERIFY(AutostartEntry::setAutorun(QStringLiteral("WinOrvex"), program));
        QVERIFY(AutostartEntry::isAutorunRegistered(QStringLiteral("WinOrvex"), program));
        const QByteArray entry = readFile(AutostartEntry::path(QStringLiteral("WinOrvex")));
        QVERIFY(entry.startsWith("[Desktop Entry]\n"));
        QVERIFY(entry.contains("\nType=Application\n"));
        QVERIFY(!entry.contains("Hidden"));
    }

    void autostartFolderIsCreated()
    {
        const QString folder = QFileInfo(AutostartEntry::path(QStringLiteral("WinOrvex"))).path();
        QDir(folder).removeRecursively();
        QVERIFY(AutostartEntry::setAutorun(QStringLiteral("WinOrvex"), QStringLiteral("/x")));
        QVERIFY(QFileInfo(folder).isDir());
    }

    void unwritableFolderFailsAndSays()
    {
        // A file where the autostart folder should be: even root cannot write there.
        const QString folder = QFileInfo(AutostartEntry::path(QStringLiteral("WinOrvex"))).path();
        QDir(folder).removeRecursively();
        writeFile(folder, "not a folder");
        const auto restore = qScopeGuard([folder] { QFile::remove(folder); });
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^AutostartEntry::setAutorun\\(\\) could not"));
        QVERIFY(!AutostartEntry::setAutorun(QStringLiteral("WinOrvex"), QStringLiteral("/x")));
    }

    // GLib, which starts the entries of GNOME and many other desktops, reads the
    // entry back to the same program and argument.
    void desktopLaunchesTheEntry_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("blank") << "Win Orvex";
        QTest::newRow("quote") << "say \"hi\"";
        QTest::newRow("dollar") << "$HOME";
        QTest::newRow("backslash") << "a\\b";
        QTest::newRow("backtick") << "`id`";
    }
    void desktopLaunchesTheEntry()
    {
        QFETCH(QString, folder);
        const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
        if (gio.isEmpty())
            QSKIP("gio (libglib2.0-bin) is not installed");
        QTemporaryDir root;
        QVERIFY(root.isValid());
        QVERIFY(QDir(root.path()).mkdir(folder));
        const QString program = root.filePath(folder + QStringLiteral("/winorvex"));
        const QString output = root.filePath(QStringLiteral("arguments.txt"));
        writeFile(program, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"" + output.toUtf8() +
                               ".part\" && mv \"" + output.toUtf8() + ".part\" \"" +
                               output.toUtf8() + "\"\n");
        QVERIFY(QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner));
        QVERIFY(AutostartEntry::setAutorun(QStringLiteral("WinOrvex"), program));

        QProcess launch;
        launch.start(gio,
                     {QStringLiteral("launch"), AutostartEntry::path(QStringLiteral("WinOrvex"))});
        QVERIFY(launch.waitForFinished(10000));
        QCOMPARE(launch.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(output), 10000);
        QCOMPARE(QString::fromUtf8(readFile(output)), program + QStringLiteral("\n/minimize\n"));
    }
};

QTEST_GUILESS_MAIN(TestAutostartEntry)
#include "tst_autostartentry.moc"
