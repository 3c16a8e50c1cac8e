#include "app/applicationentry.h"
#include "app/webaddress.h"
#include "platform/filename.h"
#include "testenvironment.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestApplicationEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void startsMinimized_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("minimized");
        QTest::newRow("no arguments") << QStringList{"winorvex"} << false;
        QTest::newRow("first") << QStringList{"winorvex", "/minimize"} << true;
        QTest::newRow("anywhere") << QStringList{"winorvex", "-x", "/minimize", "y"} << true;
        QTest::newRow("capitals are not recognised")
            << QStringList{"winorvex", "/MINIMIZE"} << false;
        QTest::newRow("prefix is not enough") << QStringList{"winorvex", "/minimized"} << false;
        QTest::newRow("dash form is not recognised")
            << QStringList{"winorvex", "--minimize"} << false;
    }
    void startsMinimized()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, minimized);
        QCOMPARE(ApplicationEntry::startsMinimized(arguments), minimized);
    }

    void pathsToScan()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString file = folder.filePath(QStringLiteral("a b|c.exe"));
        QFile(file).open(QIODevice::WriteOnly);
        const QString missing = folder.filePath(QStringLiteral("missing"));
        const QString missingUrl =
            QUrl::fromLocalFile(folder.filePath(QStringLiteral("gone too"))).toString();
        for (const QString &ignored : {missing, missingUrl})
            QTest::ignoreMessage(
                QtWarningMsg,
                qPrintable(
                    QStringLiteral("ApplicationEntry::pathsToScan() ignoring '%1'").arg(ignored)));
        const ApplicationEntry::CommandLinePaths paths = ApplicationEntry::pathsToScan(
            {"winorvex", "/minimize", file, QUrl::fromLocalFile(folder.path()).toString(), missing,
             missingUrl});
        QCOMPARE(paths.items.size(), 2);
        QCOMPARE(paths.items.at(0).absoluteFilePath(), file);
        QCOMPARE(paths.items.at(1).absoluteFilePath(), QFileInfo(folder.path()).absoluteFilePath());
        // Missing paths are kept, as files rather than URLs, to be named to the user.
        QCOMPARE(paths.missing,
                 (QStringList{missing, folder.filePath(QStringLiteral("gone too"))}));

        const ApplicationEntry::CommandLinePaths none = ApplicationEntry::pathsToScan({"winorvex"});
        QVERIFY(none.items.isEmpty());
        QVERIFY(none.missing.isEmpty());
    }

    // The program's arguments are bytes: a name that is not UTF-8, given as a
    // path (absolute or relative) or as a file URL, is an item to scan; a
    // symbolic link loop is not there to scan.
    void pathsToScanKeepEveryByte()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QByteArray base = QFile::encodeName(folder.path());
        const QByteArray raw = base + "/caf\xe9.exe";
        const QByteArray rawFolder = base + "/d\xff";
        const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
        QCOMPARE(::mkdir(rawFolder.constData(), 0755), 0);
        const auto removeRaw = qScopeGuard([&] {
            ::unlink(raw.constData());
            ::rmdir(rawFolder.constData());
        });
        const QByteArray loop = base + "/loop";
        QVERIFY(QFile::link(folder.filePath(QStringLiteral("loop2")), QFile::decodeName(loop)));
        QVERIFY(QFile::link(QFile::decodeName(loop), folder.filePath(QStringLiteral("loop2"))));

        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(folder.path()));
        const auto restore = qScopeGuard([&previous] { QDir::setCurrent(previous); });
        const QByteArray url = "file://" + rawFolder.toPercentEncoding("/");
        const char *const argv[] = {"winorvex", raw.constData(), "caf\xe9.exe", url.constData(),
                                    loop.constData()};
        QTest::ignoreMessage(
            QtWarningMsg, qPrintable(QStringLiteral("ApplicationEntry::pathsToScan() ignoring '%1'")
                                         .arg(QString::fromUtf8(loop))));
        const ApplicationEntry::CommandLinePaths paths =
            ApplicationEntry::pathsToScan(FileName::fromArguments(5, argv));
        QList<QString> items;
        for (const QFileInfo &item : paths.items)
            items << item.filePath();
        QCOMPARE(items, (QList<QString>{FileName::fromBytes(raw), FileName::fromBytes(raw),
                                        FileName::fromBytes(rawFolder)}));
        QCOMPARE(paths.missing, QStringList{QString::fromUtf8(loop)});
    }

    void webAddressesAreUsable_data()
    {
        QTest::addColumn<QUrl>("address");
        QTest::addColumn<QStringList>("schemes");
        const QStringList web{"https", "http"};
        QTest::newRow("download") << WebAddress::download() << web;
        QTest::newRow("feedback") << WebAddress::feedback()
                                  << QStringList{"mailto", "https", "http"};
        QTest::newRow("removal information") << WebAddress::removalInformation() << web;
    }
    void webAddressesAreUsable()
    {
        // A cache variable set to something a browser cannot open fails here,
        // not in front of a user.
        QFETCH(QUrl, address);
        QFETCH(QStringList, schemes);
        QVERIFY2(address.isValid(), qPrintable(address.errorString()));
        QVERIFY2(schemes.contains(address.scheme()), qPrintable(address.toString()));
        QVERIFY(!address.path().isEmpty() || !address.host().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestApplicationEntry)
#include "tst_applicationentry.moc"
