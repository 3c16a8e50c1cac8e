#include "processes/modulerecord.h"

#include <QtTest>

class TestModuleRecord : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsBack_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("library") << "/usr/lib/libc.so.6"
                                 << "libc.so.6";
        QTest::newRow("bar in the name") << "/opt/a|b.so"
                                         << "a|b.so";
        QTest::newRow("bar in a folder and the name") << "/x|y/a|b|c.so"
                                                      << "a|b|c.so";
        QTest::newRow("name of bars") << "/opt/|||"
                                      << "|||";
        QTest::newRow("deleted") << "/usr/lib/libz.so (deleted)"
                                 << "libz.so (deleted)";
        QTest::newRow("name not the last part") << "C:\\lib.dll"
                                                << "lib.dll";
    }
    void readsBack()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        const QString record = ModuleRecord::pack(4321, path, name);
        quint32 pid = 0;
        QString readPath, readName;
        QVERIFY(ModuleRecord::unpack(record, &pid, &readPath, &readName));
        QCOMPARE(pid, 4321u);
        QCOMPARE(readPath, path);
        QCOMPARE(readName, name);
    }

    void baseNames()
    {
        QCOMPARE(ModuleRecord::baseName(QStringLiteral("/usr/lib/a|b.so")),
                 QStringLiteral("a|b.so"));
        QCOMPARE(ModuleRecord::baseName(QStringLiteral("lib.so")), QStringLiteral("lib.so"));
        // Not a chain of arg(): "%1" in a path stays.
        QCOMPARE(ModuleRecord::pack(1, QStringLiteral("/a/%2%1.so"), QStringLiteral("%2%1.so")),
                 QStringLiteral("1|/a/%2%1.so|%2%1.so"));
    }

    void refusesMalformed_data()
    {
        QTest::addColumn<QString>("record");
        QTest::newRow("one field") << "1234";
        QTest::newRow("two fields") << "1234|/lib/a.so";
        QTest::newRow("pid not a number") << "12x|/lib/a.so|a.so";
        QTest::newRow("empty pid") << "|/lib/a.so|a.so";
        QTest::newRow("negative pid") << "-1|/lib/a.so|a.so";
    }
    void refusesMalformed()
    {
        QFETCH(QString, record);
        quint32 pid = 0;
        QString path, name;
        QVERIFY(!ModuleRecord::unpack(record, &pid, &path, &name));
    }
};

QTEST_GUILESS_MAIN(TestModuleRecord)
#include "tst_modulerecord.moc"
