#include "platform/filename.h"
#include "testenvironment.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class TestFileName : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    // Names as the file system holds them, the lossless text they become and
    // the readable text people see.
    void roundTrips_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("lossless");
        QTest::addColumn<QString>("readable");

        QTest::newRow("plain") << QByteArray("/home/user/setup.exe")
                               << QStringLiteral("/home/user/setup.exe")
                               << QStringLiteral("/home/user/setup.exe");
        QTest::newRow("UTF-8") << QByteArray("caf\xc3\xa9 \xe6\x96\x87.so")
                               << QStringLiteral("caf\u00e9 \u6587.so")
                               << QStringLiteral("caf\u00e9 \u6587.so");
        QTest::newRow("four-byte UTF-8")
            << QByteArray("\xf0\x9f\x98\x80.exe") << QString::fromUtf8("\xf0\x9f\x98\x80.exe")
            << QString::fromUtf8("\xf0\x9f\x98\x80.exe");
        QTest::newRow("latin-1 byte")
            << QByteArray("caf\xe9.exe") << QStringLiteral("caf\uefe9.exe")
            << QStringLiteral("caf\\xe9.exe");
        QTest::newRow("two bad bytes")
            << QByteArray("bad\xff\xfe") << QStringLiteral("bad\uefff\ueffe")
            << QStringLiteral("bad\\xff\\xfe");
        QTest::newRow("lone continuation")
            << QByteArray("a\x80z") << QStringLiteral("a\uef80z") << QStringLiteral("a\\x80z");
        QTest::newRow("cut sequence at the end")
            << QByteArray("a\xe6\x96") << QStringLiteral("a\uefe6\uef96")
            << QStringLiteral("a\\xe6\\x96");
        QTest::newRow("cut sequence before ASCII")
            << QByteArray("\xe6\x96/x") << QStringLiteral("\uefe6\uef96/x")
            << QStringLiteral("\\xe6\\x96/x");
        QTest::newRow("overlong slash")
            << QByteArray("a\xc0\xafz") << QStringLiteral("a\uefc0\uefafz")
            << QStringLiteral("a\\xc0\\xafz");
        QTest::newRow("overlong three bytes")
            << QByteArray("\xe0\x80\xaf") << QStringLiteral("\uefe0\uef80\uefaf")
            << QStringLiteral("\\xe0\\x80\\xaf");
        QTest::newRow("encoded surrogate")
            << QByteArray("\xed\xa0\x80.dll") << QStringLiteral("\uefed\uefa0\uef80.dll")
            << QStringLiteral("\\xed\\xa0\\x80.dll");
        QTest::newRow("past U+10FFFF")
            << QByteArray("\xf4\x90\x80\x80") << QStringLiteral("\ueff4\uef90\uef80\uef80")
            << QStringLiteral("\\xf4\\x90\\x80\\x80");
        QTest::newRow("escape range itself")
            << QByteArray("x\xee\xbf\xa9y") // U+EFE9
            << QStringLiteral("x\uefee\uefbf\uefa9y") << QStringLiteral("x\\xee\\xbf\\xa9y");
        QTest::newRow("next to the escape range")
            << QByteArray("\xee\xbd\xbf\xef\x80\x80") // U+EF7F U+F000
            << QStringLiteral("\uef7f\uf000") << QStringLiteral("\uef7f\uf000");
        QTest::newRow("bar and quotes")
            << QByteArray("a|b \"c\" 'd'.exe") << QStringLiteral("a|b \"c\" 'd'.exe")
            << QStringLiteral("a|b \"c\" 'd'.exe");
        QTest::newRow("line breaks and tab")
            << QByteArray("two\nlines\r\tx") << QStringLiteral("two\nlines\r\tx")
            << QStringLiteral("two\\nlines\\r\\tx");
        QTest::newRow("control characters")
            << QByteArray("a\x01\x1b[31m\x7f") << QStringLiteral("a\u0001\u001b[31m\u007f")
            << QStringLiteral("a\\x01\\x1b[31m\\x7f");
        QTest::newRow("backslash") << QByteArray("a\\xe9\\") << QStringLiteral("a\\xe9\\")
                                   << QStringLiteral("a\\\\xe9\\\\");
        QTest::newRow("C1 control") << QByteArray("a\xc2\x85z") << QStringLiteral("a\u0085z")
                                    << QStringLiteral("a\\xc2\\x85z");
        QTest::newRow("right-to-left override") << QByteArray("invoice\xe2\x80\xae"
                                                              "fdp.exe")
                                                << QStringLiteral("invoice\u202efdp.exe")
                                                << QStringLiteral("invoice\\xe2\\x80\\xaefdp.exe");
        QTest::newRow("empty") << QByteArray() << QString() << QString();
    }
    void roundTrips()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, lossless);
        QFETCH(QString, readable);
        QCOMPARE(FileName::fromBytes(bytes), lossless);
        QCOMPARE(FileName::toBytes(lossless), bytes);
        QCOMPARE(FileName::readable(lossless), readable);
        QCOMPARE(FileName::fromReadable(readable), lossless);
        // SQLite keeps text as UTF-8: the lossless form must survive that.
        QCOMPARE(QString::fromUtf8(lossless.toUtf8()), lossless);
        // A plain name is one that Qt's own file classes spell right.
        if (FileName::isPlain(lossless))
            QCOMPARE(QFile::encodeName(lossless), bytes);
        else
            QVERIFY(QFile::encodeName(lossless) != bytes);
    }

    // Every byte string of up to four bytes from a set that mixes ASCII,
    // continuation, lead and invalid bytes maps to its own text and back.
    void everyShortByteStringRoundTrips()
    {
        const QByteArray alphabet(
            "a/\x80\xbf\xc0\xc2\xc3\xe0\xe6\xed\xee\xef\xf0\xf4\xf5\xff\xa9\x90");
        QSet<QString> seen;
        int count = 0;
        std::function<void(const QByteArray &)> grow = [&](const QByteArray &prefix) {
            const QString text = FileName::fromBytes(prefix);
            QCOMPARE(FileName::toBytes(text), prefix);
            QCOMPARE(FileName::fromReadable(FileName::readable(text)), text);
            QVERIFY2(!seen.contains(text), prefix.toHex().constData());
            seen.insert(text);
            ++count;
            if (prefix.size() == 4)
                return;
            for (const char byte : alphabet)
                grow(prefix + byte);
        };
        grow(QByteArray());
        QCOMPARE(count, 1 + 18 + 18 * 18 + 18 * 18 * 18 + 18 * 18 * 18 * 18);
    }

    void readableTextThatIsNotAnEscape_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("lossless");
        QTest::newRow("lone backslash") << QStringLiteral("a\\") << QStringLiteral("a\\");
        QTest::newRow("unknown escape") << QStringLiteral("\\q") << QStringLiteral("\\q");
        QTest::newRow("one hex digit") << QStringLiteral("\\x4") << QStringLiteral("\\x4");
        QTest::newRow("not hex") << QStringLiteral("\\xzz") << QStringLiteral("\\xzz");
        QTest::newRow("upper-case hex") << QStringLiteral("\\xE9") << QStringLiteral("\uefe9");
        QTest::newRow("escaped ASCII") << QStringLiteral("\\x41") << QStringLiteral("A");
        QTest::newRow("escaped UTF-8") << QStringLiteral("\\xc3\\xa9") << QStringLiteral("\u00e9");
    }
    void readableTextThatIsNotAnEscape()
    {
        QFETCH(QString, text);
        QFETCH(QString, lossless);
        QCOMPARE(FileName::fromReadable(text), lossless);
    }

    void textThatQtDecoded()
    {
        QCOMPARE(FileName::fromUnicode(QStringLiteral("/tmp/caf\u00e9")),
                 QStringLiteral("/tmp/caf\u00e9"));
        // A real code point of the escape range keeps its own bytes.
        const QString escaped = FileName::fromUnicode(QStringLiteral("/tmp/\uefe9"));
        QCOMPARE(FileName::toBytes(escaped), QByteArray("/tmp/\xee\xbf\xa9"));
    }

    void localFileUrls_data()
    {
        QTest::addColumn<QByteArray>("url");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("plain") << QByteArray("file:///tmp/a%20b/c.exe")
                               << QByteArray("/tmp/a b/c.exe");
        QTest::newRow("byte that is not UTF-8")
            << QByteArray("file:///tmp/caf%E9/x.exe") << QByteArray("/tmp/caf\xe9/x.exe");
        QTest::newRow("UTF-8") << QByteArray("file:///tmp/caf%C3%A9")
                               << QByteArray("/tmp/caf\xc3\xa9");
        QTest::newRow("percent and hash")
            << QByteArray("file:///tmp/100%25%23x") << QByteArray("/tmp/100%#x");
        QTest::newRow("newline") << QByteArray("file:///tmp/a%0Ab") << QByteArray("/tmp/a\nb");
    }
    void localFileUrls()
    {
        QFETCH(QByteArray, url);
        QFETCH(QByteArray, bytes);
        const QString path = FileName::fromLocalFileUrl(QUrl::fromEncoded(url));
        QCOMPARE(FileName::toBytes(path), bytes);
        // And back: a URL that names the same bytes.
        const QString made = FileName::toLocalFileUrl(path);
        QVERIFY(made.startsWith(QLatin1String("file:///")));
        QCOMPARE(FileName::toBytes(FileName::fromLocalFileUrl(QUrl::fromEncoded(made.toLatin1()))),
                 bytes);
        QVERIFY(FileName::fromLocalFileUrl(QUrl(QStringLiteral("https://example.invalid/x")))
                    .isEmpty());
    }

    void programArguments()
    {
        const char *argv[] = {"winorvex", "--scan", "/tmp/caf\xe9", "rel/\xff"};
        const QStringList arguments = FileName::fromArguments(4, argv);
        QCOMPARE(arguments.size(), 4);
        QCOMPARE(arguments.at(1), QStringLiteral("--scan"));
        QCOMPARE(FileName::toBytes(arguments.at(2)), QByteArray("/tmp/caf\xe9"));
        QCOMPARE(FileName::readable(arguments.at(3)), QStringLiteral("rel/\\xff"));
    }

    void absolutePathsFromAFolderThatIsNotUtf8()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray folder = QFile::encodeName(dir.path()) + "/caf\xe9";
        QCOMPARE(::mkdir(folder.constData(), 0755), 0);
        const auto remove = qScopeGuard([&] { ::rmdir(folder.constData()); });
        const QString before = QDir::currentPath();
        QCOMPARE(::chdir(folder.constData()), 0);
        const auto back = qScopeGuard([&] { QDir::setCurrent(before); });

        QCOMPARE(FileName::toBytes(FileName::absolute(QStringLiteral("x.exe"))), folder + "/x.exe");
        QCOMPARE(FileName::toBytes(FileName::absolute(QStringLiteral("./a/../b//c"))),
                 folder + "/b/c");
        QCOMPARE(FileName::absolute(QStringLiteral("/a//b/./c/")), QStringLiteral("/a/b/c"));
        QCOMPARE(FileName::absolute(QString()), QString());
    }
};

QTEST_GUILESS_MAIN(TestFileName)
#include "tst_filename.moc"
