#include "childprograms.h"
#include "platform/modulefile.h"
#include "platform/processmaps.h"
#include "testenvironment.h"

#include <QtTest>

#include <cerrno>
#include <dlfcn.h>
#include <unistd.h>

namespace {
const char ChildVariable[] = "WINORVEX_TST_MODULEFILE_CHILD";

// The mapping of this process that has this path, if any.
bool ownMapping(const QByteArray &path, MappedFile *mapping)
{
    QByteArray text;
    if (ProcessMaps::read(quint32(::getpid()), &text) != 0)
        return false;
    for (const MappedFile &file : ProcessMaps::executableFiles(text)) {
        if (file.path == path) {
            *mapping = file;
            return true;
        }
    }
    return false;
}

QByteArray readAll(int fd)
{
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return bytes;
        bytes.append(buffer, n);
    }
}

// Loads a copy of the test library, replaces the file by other bytes as an
// update does, and puts a decoy under the name the mapping now shows. Then
// reports what ModuleFile reaches: "bytes <which>" or "error <n>".
QString replacedAndDecoyed(const QString &folder)
{
    const LibraryCopy copy = LibraryCopy::make(folder, QStringLiteral("libreplaced.so"), "old");
    if (copy.path.isEmpty() || !dlopen(QFile::encodeName(copy.path).constData(), RTLD_NOW))
        return QStringLiteral("cannot load");
    if (!ProgramCopy::replace(copy.path, copy.bytes + "new"))
        return QStringLiteral("cannot replace");
    const QByteArray shown = QFile::encodeName(copy.path) + " (deleted)";
    QFile decoy(QFile::decodeName(shown));
    if (!decoy.open(QIODevice::WriteOnly) || decoy.write("decoy") != 5)
        return QStringLiteral("cannot make the decoy");
    decoy.close();
    MappedFile mapping;
    if (!ownMapping(shown, &mapping))
        return QStringLiteral("no mapping");
    UniqueFd fd;
    const int error = ModuleFile::open(quint32(::getpid()), mapping, &fd);
    if (error != 0)
        return QStringLiteral("error %1").arg(error);
    const QByteArray bytes = readAll(fd.get());
    return bytes == copy.bytes ? QStringLiteral("bytes mapped") : QStringLiteral("bytes other");
}

int runAsChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    std::printf("%s\n", qPrintable(replacedAndDecoyed(dir.path())));
    return 0;
}
} // namespace

class TestModuleFile : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() { m_dir.reset(); }

    void opensTheMappedLibrary()
    {
        const LibraryCopy copy =
            LibraryCopy::make(m_dir->path(), QStringLiteral("libplain.so"), "plain");
        QVERIFY(!copy.path.isEmpty());
        QVERIFY(dlopen(QFile::encodeName(copy.path).constData(), RTLD_NOW));
        MappedFile mapping;
        QVERIFY(ownMapping(QFile::encodeName(copy.path), &mapping));
        UniqueFd fd;
        QCOMPARE(ModuleFile::open(quint32(::getpid()), mapping, &fd), 0);
        QCOMPARE(readAll(fd.get()), copy.bytes);
    }

    void replacedLibraryIsNeverAnotherFile()
    {
        // The mapped bytes are only reachable for a privileged program; any
        // other gets no file at all rather than the new one or a decoy.
        const QString result = replacedAndDecoyed(m_dir->path());
        if (::geteuid() == 0)
            QCOMPARE(result, QStringLiteral("bytes mapped"));
        else
            QCOMPARE(result, QStringLiteral("error %1").arg(ModuleFile::Replaced));
    }

    void replacedLibraryWithoutPrivileges()
    {
        if (::geteuid() != 0)
            QSKIP("runs here without privileges already (replacedLibraryIsNeverAnotherFile)");
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        environment.insert(QStringLiteral("TMPDIR"), QStringLiteral("/tmp"));
        child.setProcessEnvironment(environment);
        child.start(QStringLiteral("setpriv"),
                    {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                     QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath()});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).trimmed(),
                 QStringLiteral("error %1").arg(ModuleFile::Replaced));
    }

    void endedProcess()
    {
        MappedFile mapping;
        mapping.path = "/usr/lib/libgone.so";
        mapping.start = 0x1000;
        mapping.end = 0x2000;
        mapping.device = "fe:00";
        mapping.inode = 1;
        UniqueFd fd;
        QCOMPARE(ModuleFile::open(4194305, mapping, &fd), ESRCH);
        QVERIFY(!fd.isValid());
    }

    void errorTexts()
    {
        QCOMPARE(ModuleFile::errorText(ModuleFile::Replaced),
                 QStringLiteral("The mapped file was removed or replaced on disk"));
        QCOMPARE(ModuleFile::errorText(EACCES), QStringLiteral("Permission denied"));
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(ChildVariable))
        return runAsChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestModuleFile test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_modulefile.moc"
