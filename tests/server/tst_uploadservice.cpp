#include "server/serviceconnection.h"
#include "server/uploadservice.h"
#include "servertestclient.h"
#include "testenvironment.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace ServerTestClient;

namespace {

QByteArray randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    return data;
}

QString sha256Name(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestUploadService : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<UploadService> m_service;
    QString m_folder;

    quint16 startService(const ServerLimits &limits = ServerLimits())
    {
        m_service = std::make_unique<UploadService>(limits, m_folder);
        QString error;
        if (!m_service->prepareFolder(&error) ||
            !m_service->listen(QHostAddress(QHostAddress::LocalHost), 0, &error))
            qFatal("%s", qPrintable(error));
        return m_service->serverPort();
    }

    QStringList storedFiles() const
    {
        return QDir(m_folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_folder = m_dir->filePath(QStringLiteral("uploads")); // created by the service
    }
    void cleanup()
    {
        m_service.reset();
        m_dir.reset();
    }

    void storesUploadsUnderTheirSha256()
    {
        const quint16 port = startService();
        const QByteArray small = QByteArrayLiteral("MZ\x90\0 a small executable");
        const QByteArray large = randomBytes(3 * 1024 * 1024);
        QVERIFY(sendAndClose(port, small));
        QVERIFY(sendAndClose(port, large));
        QTRY_COMPARE_WITH_TIMEOUT(storedFiles().size(), 2, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 0, 5000);

        QStringList expected{sha256Name(small), sha256Name(large)};
        expected.sort();
        QCOMPARE(storedFiles(), expected);
        QFile stored(QDir(m_folder).filePath(sha256Name(large)));
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), large);

        // The same file again changes nothing.
        QVERIFY(sendAndClose(port, small));
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 0, 5000);
        QCOMPARE(storedFiles(), expected);
    }

    void anUploadGoesToDiskAsItArrives()
    {
        const ServerLimits limits;
        const quint16 port = startService(limits);
        const QByteArray data = randomBytes(8 * 1024 * 1024);
        QTcpSocket socket;
        QVERIFY(connectTo(socket, port));
        socket.write(data);
        QVERIFY(spinUntil([&] { return m_service->bytesReceived() == data.size(); }, 30000));

        // Every byte is in, the upload still open, and the server holds no
        // more of it in memory than one read buffer.
        QVERIFY2(m_service->peakHeldBytes() <= ServiceConnection::readBufferSize(limits),
                 qPrintable(QString::number(m_service->peakHeldBytes())));
        QVERIFY(!storedFiles().contains(sha256Name(data)));

        socket.disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(storedFiles(), QStringList{sha256Name(data)}, 10000);
        QFile stored(QDir(m_folder).filePath(sha256Name(data)));
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QVERIFY(stored.readAll() == data);
    }

    void aCutUploadLeavesNothing_data()
    {
        QTest::addColumn<bool>("tooLarge"); // else it stalls
        QTest::newRow("larger than the limit") << true;
        QTest::newRow("stalled past the idle limit") << false;
    }
    void aCutUploadLeavesNothing()
    {
        QFETCH(bool, tooLarge);
        ServerLimits limits;
        limits.maxUploadSize = 100000;
        limits.idleTimeoutMs = 1000;
        const quint16 port = startService(limits);
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(tooLarge ? QStringLiteral("upload larger than 100000 bytes")
                                        : QStringLiteral("nothing sent or read")));
        QTcpSocket socket;
        QVERIFY(connectTo(socket, port));
        socket.write(randomBytes(tooLarge ? 200000 : 50000));
        QVERIFY(waitForClosed(socket, 10000));
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 0, 5000);
        QCOMPARE(storedFiles(), QStringList());

        // The limit itself is allowed.
        const QByteArray exact = randomBytes(100000);
        QVERIFY(sendAndClose(port, exact));
        QTRY_COMPARE_WITH_TIMEOUT(storedFiles(), QStringList{sha256Name(exact)}, 5000);
    }

    void anEmptyConnectionStoresNothing()
    {
        const quint16 port = startService();
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("closed without sending a byte")));
        QVERIFY(sendAndClose(port, QByteArray()));
        QTRY_COMPARE_WITH_TIMEOUT(m_service->connectionCount(), 0, 5000);
        QCOMPARE(storedFiles(), QStringList());
    }

    void anUnwritableFolderIsRefused()
    {
        QFile blocker(m_dir->filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        UploadService service(ServerLimits(), blocker.fileName() + QStringLiteral("/uploads"));
        QString error;
        QVERIFY(!service.prepareFolder(&error));
        QVERIFY(error.contains(QStringLiteral("cannot write")));
    }
};

QTEST_GUILESS_MAIN(TestUploadService)
#include "tst_uploadservice.moc"
