#include "deeptree.h"
#include "platform/longpath.h"
#include "testenvironment.h"

#include <QtTest>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

class TestLongPath : public QObject
{
    Q_OBJECT

private:
    static constexpr int Depth = 4200; // about twice PATH_MAX
    QTemporaryDir m_dir;
    std::unique_ptr<DeepTree> m_tree;

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QVERIFY(m_dir.isValid());
        m_tree = std::make_unique<DeepTree>(m_dir.path(), Depth);
        QVERIFY(m_tree->isValid());
        QVERIFY(m_tree->writeFile(Depth, "file", "content"));
        QVERIFY(m_tree->makeFolder(2000, "side"));
        QVERIFY(m_tree->writeFile(5, "file", "x"));
    }
    void cleanupTestCase() { m_tree.reset(); }

    // A file 4,200 folders deep, its path over twice PATH_MAX, reached
    // absolutely, relatively, through a link on the way and through "..".
    void pathsLongerThanPathMax_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("absolute") << QStringLiteral("absolute");
        QTest::newRow("relative") << QStringLiteral("relative");
        QTest::newRow("link on the way") << QStringLiteral("link");
        QTest::newRow("dot-dot on the way") << QStringLiteral("dotdot");
        QTest::newRow("doubled slashes") << QStringLiteral("slashes");
    }
    void pathsLongerThanPathMax()
    {
        QFETCH(QString, how);
        const DeepTree &tree = *m_tree;
        const int depth = Depth;

        QByteArray path = QFile::encodeName(tree.folderPath(depth)) + "/file";
        const QString before = QDir::currentPath();
        const auto back = qScopeGuard([&] { QDir::setCurrent(before); });
        if (how == QLatin1String("relative")) {
            QVERIFY(QDir::setCurrent(m_dir.path()));
            path = path.mid(QFile::encodeName(m_dir.path()).size() + 1);
        } else if (how == QLatin1String("link")) {
            QVERIFY(QFile::link(tree.folderPath(1), m_dir.filePath(QStringLiteral("link"))));
            path = QFile::encodeName(m_dir.filePath(QStringLiteral("link"))) +
                   QFile::encodeName(tree.folderPath(depth))
                       .mid(QFile::encodeName(tree.folderPath(1)).size()) +
                   "/file";
        } else if (how == QLatin1String("dotdot")) {
            // Down into "side" at level 2000 and back up.
            const QByteArray level2000 = QFile::encodeName(tree.folderPath(2000));
            path = level2000 + "/side/.." +
                   QFile::encodeName(tree.folderPath(depth)).mid(level2000.size()) + "/file";
        } else if (how == QLatin1String("slashes")) {
            path.replace("/d/", "//d/");
        }
        const auto removeLink = qScopeGuard([&] { QFile::remove(m_dir.filePath("link")); });
        QVERIFY(path.size() > 2 * PATH_MAX);

        struct stat st;
        QVERIFY(LongPath::stat(path, &st));
        QVERIFY(S_ISREG(st.st_mode));
        QCOMPARE(qint64(st.st_size), qint64(7));
        UniqueFd fd = LongPath::open(path, O_RDONLY | O_CLOEXEC);
        QVERIFY(fd.isValid());
        char buffer[16];
        QCOMPARE(::read(fd.get(), buffer, sizeof buffer), ssize_t(7));
        QCOMPARE(QByteArray(buffer, 7), QByteArray("content"));
        struct statfs fs;
        QVERIFY(LongPath::statfs(path, &fs));
        struct statfs here;
        QCOMPARE(::statfs(QFile::encodeName(m_dir.path()).constData(), &here), 0);
        QCOMPARE(fs.f_type, here.f_type);
    }

    void failuresSayWhy_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("error");
        QTest::newRow("missing at the end") << QStringLiteral("missing end") << ENOENT;
        QTest::newRow("missing on the way") << QStringLiteral("missing way") << ENOENT;
        QTest::newRow("a file on the way") << QStringLiteral("file way") << ENOTDIR;
        QTest::newRow("a name longer than PATH_MAX") << QStringLiteral("long name") << ENAMETOOLONG;
    }
    void failuresSayWhy()
    {
        QFETCH(QString, what);
        QFETCH(int, error);
        const DeepTree &tree = *m_tree;
        const int depth = Depth;
        const QByteArray deep = QFile::encodeName(tree.folderPath(depth));
        const QByteArray shallow = QFile::encodeName(tree.folderPath(5));
        QByteArray path;
        if (what == QLatin1String("missing end")) {
            path = deep + "/nothing";
        } else if (what == QLatin1String("missing way")) {
            path = shallow + "/x" + deep.mid(shallow.size()) + "/file";
        } else if (what == QLatin1String("file way")) {
            path = shallow + "/file" + deep.mid(shallow.size());
        } else {
            path = "/" + QByteArray(PATH_MAX + 10, 'n');
        }
        QVERIFY(path.size() >= PATH_MAX);
        struct stat st;
        errno = 0;
        QVERIFY(!LongPath::stat(path, &st));
        QCOMPARE(errno, error);
        errno = 0;
        QVERIFY(!LongPath::open(path, O_RDONLY | O_CLOEXEC).isValid());
        QCOMPARE(errno, error);
    }

    void shortPathsTakeThePlainCall()
    {
        struct stat st;
        QVERIFY(LongPath::stat(QByteArrayLiteral("/"), &st));
        QVERIFY(S_ISDIR(st.st_mode));
        QVERIFY(!LongPath::stat(QByteArrayLiteral("/nonexistent/x"), &st));
        QCOMPARE(errno, ENOENT);
        // A link is followed, or not.
        const QByteArray link = QFile::encodeName(m_dir.filePath(QStringLiteral("to-root")));
        QCOMPARE(::symlink("/", link.constData()), 0);
        QVERIFY(LongPath::stat(link, &st, false));
        QVERIFY(S_ISLNK(st.st_mode));
        QVERIFY(LongPath::stat(link, &st, true));
        QVERIFY(S_ISDIR(st.st_mode));
    }
};

QTEST_GUILESS_MAIN(TestLongPath)
#include "tst_longpath.moc"
