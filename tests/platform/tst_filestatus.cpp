#include "platform/filestatus.h"
#include "testenvironment.h"

#include <QtTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

class TestFileStatus : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString makeFile(const QString &name, QFileDevice::Permissions permissions,
                     const QByteArray &content = "x")
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return {};
        file.close();
        file.setPermissions(permissions);
        return path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QVERIFY(m_dir.isValid());
    }

    void executeBits_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("executable");
        QTest::newRow("0644") << 0644 << false;
        QTest::newRow("0755") << 0755 << true;
        QTest::newRow("owner only 0700") << 0700 << true;
        QTest::newRow("group only 0610") << 0610 << true;
        QTest::newRow("other only 0601") << 0601 << true;
        QTest::newRow("0000") << 0000 << false;
    }
    void executeBits()
    {
        QFETCH(int, mode);
        QFETCH(bool, executable);
        const QString path = makeFile(QStringLiteral("mode%1").arg(mode, 0, 8), {}, "12345");
        QVERIFY(!path.isEmpty());
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0);
        const FileStatus status = FileStatus::of(path);
        QCOMPARE(status.kind(), FileStatus::Regular);
        QCOMPARE(status.isExecutable(), executable);
        QCOMPARE(status.size(), qint64(5));
    }

    void kinds()
    {
        const QString fifo = m_dir.filePath(QStringLiteral("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        QCOMPARE(FileStatus::of(fifo).kind(), FileStatus::Fifo);

        const QString socketPath = m_dir.filePath(QStringLiteral("sock"));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray encoded = QFile::encodeName(socketPath);
        QVERIFY(size_t(encoded.size()) < sizeof address.sun_path);
        memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        QCOMPARE(FileStatus::of(socketPath).kind(), FileStatus::Socket);
        ::close(fd);

        QCOMPARE(FileStatus::of(QStringLiteral("/dev/null")).kind(), FileStatus::CharacterDevice);
        QCOMPARE(FileStatus::of(m_dir.path()).kind(), FileStatus::Directory);
        QVERIFY(FileStatus::of(m_dir.path()).isDirectory());
        QCOMPARE(FileStatus::of(m_dir.filePath(QStringLiteral("missing"))).kind(),
                 FileStatus::Missing);
        QVERIFY(!FileStatus::of(QString()).exists());
    }

    void linksAreFollowed()
    {
        const QString target = makeFile(QStringLiteral("target"), QFileDevice::ReadOwner, "abc");
        const QString link = m_dir.filePath(QStringLiteral("link"));
        QVERIFY(QFile::link(target, link));
        QCOMPARE(FileStatus::of(link).kind(), FileStatus::Regular);
        QCOMPARE(FileStatus::of(link).size(), qint64(3));

        const QString dangling = m_dir.filePath(QStringLiteral("dangling"));
        QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("nowhere")), dangling));
        QCOMPARE(FileStatus::of(dangling).kind(), FileStatus::Missing);
    }

    void kindFromMode_data()
    {
        QTest::addColumn<quint32>("mode");
        QTest::addColumn<int>("kind");
        QTest::newRow("regular") << quint32(S_IFREG | 0644) << int(FileStatus::Regular);
        QTest::newRow("folder") << quint32(S_IFDIR | 0755) << int(FileStatus::Directory);
        QTest::newRow("fifo") << quint32(S_IFIFO) << int(FileStatus::Fifo);
        QTest::newRow("socket") << quint32(S_IFSOCK) << int(FileStatus::Socket);
        QTest::newRow("char") << quint32(S_IFCHR) << int(FileStatus::CharacterDevice);
        QTest::newRow("block") << quint32(S_IFBLK) << int(FileStatus::BlockDevice);
        QTest::newRow("link") << quint32(S_IFLNK) << int(FileStatus::Other);
    }
    void kindFromMode()
    {
        QFETCH(quint32, mode);
        QFETCH(int, kind);
        QCOMPARE(int(FileStatus::kindFromMode(mode)), kind);
    }
};

QTEST_GUILESS_MAIN(TestFileStatus)
#include "tst_filestatus.moc"
