#include "app/instancechannel.h"
#include "platform/filename.h"
#include "testenvironment.h"

#include <QLocalSocket>
#include <QtTest>

// The second start of WinOrvex is the real program, started as a child process:
// it must hand its paths to the listening channel and end.
class TestInstanceChannel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void secondStartForwardsItsPaths()
    {
        QTemporaryDir runtime;
        QTemporaryDir folder;
        QVERIFY(runtime.isValid() && folder.isValid());
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        const auto restore = qScopeGuard([&] { qputenv("XDG_RUNTIME_DIR", savedRuntime); });
        QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner);

        const QString socketPath = InstanceChannel::defaultSocketPath();
        QCOMPARE(QFileInfo(socketPath).absolutePath(), runtime.path());
        InstanceChannel first(socketPath);
        QVERIFY(first.listen());
        QSignalSpy received(&first, &InstanceChannel::argumentsReceived);

        for (const char *name : {"with blank.exe", "plain.dll"})
            QVERIFY(QFile(folder.filePath(QLatin1String(name))).open(QIODevice::WriteOnly));
        QProcess second;
        second.setWorkingDirectory(folder.path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        second.setProcessEnvironment(environment);
        // One relative to the second start's own folder, one absolute.
        second.start(
            QStringLiteral(WINORVEX_EXECUTABLE),
            {QStringLiteral("with blank.exe"), folder.filePath(QStringLiteral("plain.dll"))});
        QVERIFY2(second.waitForStarted(), qPrintable(second.errorString()));

        QVERIFY(received.wait(20000));
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().first().toStringList(),
                 (QStringList{folder.filePath(QStringLiteral("with blank.exe")),
                              folder.filePath(QStringLiteral("plain.dll"))}));
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
    }

    // Names that are not UTF-8 are held in a private-use escape form; they must
    // cross unchanged, as must every other character.
    void argumentsCrossLosslessly()
    {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        const QString socketPath = runtime.filePath(QStringLiteral("winorvex.socket"));
        QThread thread;
        auto *first = new InstanceChannel(socketPath);
        first->moveToThread(&thread);
        connect(&thread, &QThread::finished, first, &QObject::deleteLater);
        thread.start();
        const auto stop = qScopeGuard([&] {
            thread.quit();
            thread.wait();
        });
        bool listening = false;
        QMetaObject::invokeMethod(
            first, [&] { listening = first->listen(); }, Qt::BlockingQueuedConnection);
        QVERIFY(listening);
        QStringList got;
        connect(first, &InstanceChannel::argumentsReceived, this,
                [&got](const QStringList &arguments) { got = arguments; });

        const QStringList sent = {
            QStringLiteral("/tmp/not utf-8 ") + QChar(FileName::LastEscape) + QStringLiteral("x"),
            QStringLiteral("/tmp/line\nbreak"), QStringLiteral("/tmp/caf\u00e9 \U0001F600"),
            QString(), QStringLiteral("/minimize")};
        InstanceChannel second(socketPath);
        QVERIFY(second.forward(sent));
        QTRY_COMPARE_WITH_TIMEOUT(got, sent, 10000);
    }

    // A crash leaves the socket file behind with nobody listening: the next
    // start must take it over, not forward into it or give up.
    void staleSocketIsTakenOver()
    {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        const QString socketPath = runtime.filePath(QStringLiteral("winorvex.socket"));
        // A process that bound the socket and ended without removing it.
        QProcess crashed;
        crashed.start(QStringLiteral("python3"),
                      {QStringLiteral("-c"),
                       QStringLiteral("import socket,sys; "
                                      "socket.socket(socket.AF_UNIX).bind(sys.argv[1])"),
                       socketPath});
        if (!crashed.waitForStarted())
            QSKIP("python3 is needed to leave a stale socket behind");
        QVERIFY(crashed.waitForFinished());
        QCOMPARE(crashed.exitCode(), 0);
        QVERIFY(QFileInfo::exists(socketPath));

        InstanceChannel second(socketPath);
        QVERIFY(!second.forward({QStringLiteral("/tmp")}));
        QVERIFY(second.listen());
        QLocalSocket client;
        client.connectToServer(socketPath);
        QVERIFY(client.waitForConnected(5000));

        // While it listens, a third start does not take the socket away.
        InstanceChannel third(socketPath);
        QVERIFY(!third.listen());
    }

    void noInstanceRunning()
    {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        InstanceChannel channel(runtime.filePath(QStringLiteral("winorvex.socket")));
        QVERIFY(!channel.forward({QStringLiteral("/tmp")}));
    }

    void absoluteArguments_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("expected");
        const QString here = QDir::currentPath();
        QTest::newRow("relative with a blank") << "a b.exe" << here + "/a b.exe";
        QTest::newRow("parent folder") << "../x" << QDir::cleanPath(here + "/../x");
        QTest::newRow("absolute") << "/usr/bin"
                                  << "/usr/bin";
        QTest::newRow("minimize option") << "/minimize"
                                         << "/minimize";
        QTest::newRow("file URL") << "file:///tmp/a%20b"
                                  << "file:///tmp/a%20b";
        QTest::newRow("dash option") << "--scan"
                                     << "--scan";
    }
    void absoluteArguments()
    {
        QFETCH(QString, argument);
        QFETCH(QString, expected);
        QCOMPARE(InstanceChannel::absoluteArguments({argument}), QStringList{expected});
    }
};

QTEST_GUILESS_MAIN(TestInstanceChannel)
#include "tst_instancechannel.moc"
