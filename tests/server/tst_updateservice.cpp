#include "server/updateservice.h"
#include "servertestclient.h"
#include "testenvironment.h"

#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace ServerTestClient;

namespace {

const QByteArray platformDigest = QByteArrayLiteral("a87ff679a2f3e71d9181a67b7542122c");
const QByteArray installationDigest = QByteArrayLiteral("0f1e2d3c4b5a69788796a5b4c3d2e1f0");

QByteArray requestLine(const QByteArray &version)
{
    return version + '|' + platformDigest + '|' + installationDigest + '\n';
}

const QByteArray offer = QByteArrayLiteral("0.3\nhttps://winorvex.invalid/download\n"
                                           "<p>Faster scans.</p>\n<p>Fewer bugs.</p>\n");

} // namespace

class TestUpdateService : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<UpdateService> m_service;

    QString writeFile(const QByteArray &content)
    {
        const QString path = m_dir.filePath(QStringLiteral("offer.txt"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    quint16 startService(const QByteArray &offerText)
    {
        m_service = std::make_unique<UpdateService>(ServerLimits());
        QString error;
        const QString path = offerText.isEmpty() ? QString() : writeFile(offerText);
        if (!m_service->loadOffer(path, &error) ||
            !m_service->listen(QHostAddress(QHostAddress::LocalHost), 0, &error))
            qFatal("%s", qPrintable(error));
        return m_service->serverPort();
    }

    // What a client gets: all bytes until the server closes.
    QByteArray check(quint16 port, const QByteArray &request)
    {
        QTcpSocket socket;
        if (!connectTo(socket, port))
            return QByteArray();
        socket.write(request);
        QByteArray answer;
        if (!QTest::qWaitFor(
                [&] {
                    if (socket.isOpen())
                        answer += socket.readAll();
                    return socket.state() == QAbstractSocket::UnconnectedState;
                },
                5000))
            return QByteArray("still open");
        return answer;
    }

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        QVERIFY(m_dir.isValid());
    }
    void cleanup() { m_service.reset(); }

    void answersAndCloses_data()
    {
        QTest::addColumn<QByteArray>("offerFile"); // empty: no offer
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");

        QTest::newRow("no offer") << QByteArray() << requestLine("0.2")
                                  << QByteArray("UP_TO_DATE\n");
        QTest::newRow("older client gets the offer") << offer << requestLine("0.2") << offer;
        QTest::newRow("same version") << offer << requestLine("0.3") << QByteArray("UP_TO_DATE\n");
        QTest::newRow("newer client") << offer << requestLine("0.10") << QByteArray("UP_TO_DATE\n");
        QTest::newRow("version text that is not a number")
            << offer << requestLine("beta 2") << offer;
        QTest::newRow("CRLF request")
            << offer << QByteArray(requestLine("0.3")).replace("\n", "\r\n")
            << QByteArray("UP_TO_DATE\n");
        QTest::newRow("bar inside the version") << offer << requestLine("0.2|x") << offer;
        QTest::newRow("two fields")
            << offer << QByteArray("0.2|" + platformDigest + '\n') << QByteArray("ERROR\n");
        QTest::newRow("digest malformed")
            << offer << QByteArray("0.2|xyz|" + installationDigest + '\n') << QByteArray("ERROR\n");
        QTest::newRow("empty line") << offer << QByteArray("\n") << QByteArray("ERROR\n");
    }
    void answersAndCloses()
    {
        QFETCH(QByteArray, offerFile);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        const quint16 port = startService(offerFile);
        if (answer == "ERROR\n")
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                                   "malformed request; answering ERROR")));
        QCOMPARE(check(port, request), answer);
    }

    void theOfferIsNormalisedForTheClient()
    {
        // The client splits at line feeds and drops the last byte of the answer.
        const quint16 port = startService("0.3\r\nhttps://x.invalid/\r\n<b>notes</b>\r\n\r\n\r\n");
        QCOMPARE(check(port, requestLine("0.2")),
                 QByteArray("0.3\nhttps://x.invalid/\n<b>notes</b>\n"));
    }

    void refusesUnusableOffers_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("reason");
        QTest::newRow("two lines")
            << QByteArray("0.3\nhttps://x.invalid/\n") << QStringLiteral("release notes");
        QTest::newRow("empty version")
            << QByteArray("\nhttps://x.invalid/\nnotes") << QStringLiteral("empty");
        QTest::newRow("greeting prefix")
            << QByteArray("Got a connection.\nhttps://x.invalid/\nnotes")
            << QStringLiteral("Got a connection.");
        QTest::newRow("binary") << QByteArray("0.3\nx\n\0notes", 13) << QStringLiteral("not text");
        QTest::newRow("too large")
            << QByteArray("0.3\nx\n" + QByteArray(UpdateService::maxOfferSize, 'n'))
            << QStringLiteral("larger than");
    }
    void refusesUnusableOffers()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, reason);
        QString error;
        QVERIFY(!UpdateService::parseOffer(text, &error));
        QVERIFY2(error.contains(reason), qPrintable(error));

        // Loading such a file keeps the offer in use.
        UpdateService service{ServerLimits()};
        QVERIFY(service.loadOffer(writeFile(offer), &error));
        QVERIFY(!service.loadOffer(writeFile(text), &error));
        QVERIFY(!service.loadOffer(m_dir.filePath(QStringLiteral("missing")), &error));
        QCOMPARE(service.answerFor(requestLine("0.2").chopped(1)), offer);
    }

    void tooLongRequestLineIsClosedWithoutAnswer()
    {
        const quint16 port = startService(offer);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("line longer than 4096 bytes")));
        QCOMPARE(check(port, QByteArray(5000, 'v')), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestUpdateService)
#include "tst_updateservice.moc"
