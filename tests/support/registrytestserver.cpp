#include "registrytestserver.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

RegistryTestServer::RegistryTestServer(QObject *parent)
    : QObject(parent), m_thread(new QThread(this)), m_server(new QTcpServer)
{
    m_clock.start();
    m_server->moveToThread(m_thread);
    connect(m_server, &QTcpServer::newConnection, m_server, [this] { acceptConnections(); });
    m_thread->start();
}

RegistryTestServer::~RegistryTestServer()
{
    // The server and its sockets (its children) go on the thread they live on.
    QMetaObject::invokeMethod(
        m_server, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

bool RegistryTestServer::listen()
{
    bool ok = false;
    QMetaObject::invokeMethod(
        m_server,
        [this, &ok] {
            ok = m_server->isListening() || m_server->listen(QHostAddress::LocalHost, m_port);
            if (ok)
                m_port = m_server->serverPort();
        },
        Qt::BlockingQueuedConnection);
    return ok;
}

quint16 RegistryTestServer::port() const
{
    return m_port;
}

QByteArray RegistryTestServer::address() const
{
    return "127.0.0.1:" + QByteArray::number(m_port);
}

bool RegistryTestServer::setRefusing(bool refusing)
{
    if (!refusing)
        return listen();
    QMetaObject::invokeMethod(
        m_server, [this] { m_server->close(); }, Qt::BlockingQueuedConnection);
    return true;
}

void RegistryTestServer::setAnswer(const QString &digest, quint32 lastSeen, int rate)
{
    Record record{QByteArray::number(lastSeen),
                  rate == -1 ? QByteArray("NO_DATA") : QByteArray::number(rate)};
    QMutexLocker locker(&m_mutex);
    m_config.records.insert(digest.toLatin1(), record);
}

void RegistryTestServer::setAnswerLine(const QString &digest, const QByteArray &line)
{
    QMutexLocker locker(&m_mutex);
    if (line.isNull())
        m_config.rawLines.remove(digest.toLatin1());
    else
        m_config.rawLines.insert(digest.toLatin1(), line);
}

void RegistryTestServer::setFirstLine(const QByteArray &line)
{
    QMutexLocker locker(&m_mutex);
    m_config.firstLine = line;
}

void RegistryTestServer::setLeadingLines(const QList<QByteArray> &lines)
{
    QMutexLocker locker(&m_mutex);
    m_config.leadingLines = lines;
}

void RegistryTestServer::setLineEnd(const QByteArray &lineEnd)
{
    QMutexLocker locker(&m_mutex);
    m_config.lineEnd = lineEnd;
}

void RegistryTestServer::setFieldSeparator(const QByteArray &separator)
{
    QMutexLocker locker(&m_mutex);
    m_config.separator = separator;
}

void RegistryTestServer::setPadding(qint64 bytes)
{
    QMutexLocker locker(&m_mutex);
    m_config.padding = bytes;
}

void RegistryTestServer::setPieces(int pieceSize, int pauseMs)
{
    QMutexLocker locker(&m_mutex);
    m_config.pieceSize = pieceSize;
    m_config.pauseMs = pauseMs;
}

void RegistryTestServer::setSilent(bool silent)
{
    QMutexLocker locker(&m_mutex);
    m_config.silent = silent;
}

void RegistryTestServer::setCloseAfter(qint64 bytes)
{
    QMutexLocker locker(&m_mutex);
    m_config.closeAfter = bytes;
}

void RegistryTestServer::setCutInRecord(const QString &digest)
{
    QMutexLocker locker(&m_mutex);
    m_config.cutInRecord = digest.toLatin1();
}

void RegistryTestServer::setLastLineEndOmitted(bool omitted)
{
    QMutexLocker locker(&m_mutex);
    m_config.lastLineEndOmitted = omitted;
}

void RegistryTestServer::setTrickle(int intervalMs)
{
    QMutexLocker locker(&m_mutex);
    m_config.trickleMs = qMax(0, intervalMs);
}

void RegistryTestServer::setFaultyAnswers(int count)
{
    QMutexLocker locker(&m_mutex);
    m_faultyAnswers = count;
}

int RegistryTestServer::connectionCount() const
{
    QMutexLocker locker(&m_mutex);
    return m_connectionTimes.size();
}

QList<qint64> RegistryTestServer::connectionTimes() const
{
    QMutexLocker locker(&m_mutex);
    return m_connectionTimes;
}

int RegistryTestServer::requestCount() const
{
    QMutexLocker locker(&m_mutex);
    return m_requests.size();
}

QList<RegistryTestServer::Request> RegistryTestServer::requests() const
{
    QMutexLocker locker(&m_mutex);
    return m_requests;
}

int RegistryTestServer::timesAnswered(const QString &digest) const
{
    QMutexLocker locker(&m_mutex);
    return m_timesAnswered.value(digest.toLatin1());
}

void RegistryTestServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        {
            QMutexLocker locker(&m_mutex);
            m_connectionTimes.append(m_clock.elapsed());
        }
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket,
                [this, socket, buffer] { readRequests(socket, buffer); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void RegistryTestServer::readRequests(QTcpSocket *socket, const std::shared_ptr<QByteArray> &buffer)
{
    buffer->append(socket->readAll());
    // A request is complete at its "end" line; it may arrive in any number of pieces.
    forever
    {
        const qsizetype end = buffer->indexOf("\nend\n");
        if (end < 0)
            return;
        const QByteArray raw = buffer->left(end + 5);
        buffer->remove(0, end + 5);

        QList<QByteArray> lines = raw.split('\n');
        lines.removeLast(); // after the last line feed
        Request request;
        request.raw = raw;
        request.token = lines.value(1);
        request.installationDigest = lines.value(2);
        request.platformDigest = lines.value(3);
        for (int i = 4; i < lines.size() - 1; ++i)
            request.digests.append(lines.at(i));

        // The answer follows the settings in force when the request arrived, so a
        // test may change them as soon as it sees the request.
        Config config;
        qint64 cutAt = -1;
        auto answer = std::make_shared<QByteArray>();
        {
            QMutexLocker locker(&m_mutex);
            m_requests.append(request);
            config = m_config;
            if (m_faultyAnswers == 0) {
                config = Config();
                config.records = m_config.records;
            } else if (m_faultyAnswers > 0) {
                --m_faultyAnswers;
            }
            if (!config.silent)
                *answer = answerFor(config, request, &cutAt);
        }
        if (config.silent)
            continue;

        qint64 closeAfter = config.closeAfter;
        if (cutAt >= 0 && (closeAfter < 0 || cutAt < closeAfter))
            closeAfter = cutAt;
        if (closeAfter >= 0 && closeAfter < answer->size())
            answer->truncate(closeAfter);
        config.closeAfter = closeAfter;
        if (config.trickleMs > 0) {
            trickle(socket, answer, config);
            continue;
        }
        writePieces(socket, answer, 0, config.pieceSize, config.pauseMs, closeAfter >= 0);
    }
}

void RegistryTestServer::trickle(QTcpSocket *socket,
                                 const std::shared_ptr<const QByteArray> &answer,
                                 const Config &config)
{
    const qsizetype head =
        qMin<qsizetype>(config.firstLine.size() + config.lineEnd.size(), answer->size());
    socket->write(answer->constData(), head);
    socket->write("# trickle ");
    socket->flush();
    auto rest = std::make_shared<const QByteArray>(config.lineEnd + answer->mid(head));
    auto *timer = new QTimer(socket);
    connect(timer, &QTimer::timeout, socket, [=] {
        int interval = 0;
        {
            QMutexLocker locker(&m_mutex);
            interval = m_config.trickleMs;
        }
        if (interval > 0) {
            socket->write(".");
            socket->flush();
            timer->setInterval(interval);
            return;
        }
        timer->stop();
        timer->deleteLater();
        writePieces(socket, rest, 0, config.pieceSize, config.pauseMs, config.closeAfter >= 0);
    });
    timer->start(config.trickleMs);
}

QByteArray RegistryTestServer::answerFor(const Config &config, const Request &request,
                                         qint64 *cutAt)
{
    *cutAt = -1;
    QByteArray answer = config.firstLine + config.lineEnd;
    if (config.padding > 0) {
        const QByteArray filler = "# " + QByteArray(1021, 'x') + config.lineEnd;
        answer.reserve(config.padding + request.digests.size() * 64);
        while (answer.size() < config.padding)
            answer.append(filler);
    }
    for (const QByteArray &line : config.leadingLines)
        answer += line + config.lineEnd;
    const Record noData{"0", "NO_DATA"};
    for (const QByteArray &digest : request.digests) {
        ++m_timesAnswered[digest];
        const qsizetype start = answer.size();
        const auto raw = config.rawLines.constFind(digest);
        if (raw != config.rawLines.constEnd()) {
            if (!raw.value().isEmpty())
                answer += raw.value() + config.lineEnd;
        } else {
            const auto found = config.records.constFind(digest);
            const Record &record = found != config.records.constEnd() ? found.value() : noData;
            answer += digest;
            answer += config.separator;
            answer += record.lastSeen;
            answer += config.separator;
            answer += record.rate;
            answer += config.lineEnd;
        }
        if (*cutAt < 0 && !config.cutInRecord.isEmpty() && digest == config.cutInRecord)
            *cutAt = start + (answer.size() - start) / 2;
    }
    if (config.lastLineEndOmitted && answer.endsWith(config.lineEnd))
        answer.chop(config.lineEnd.size());
    return answer;
}

void RegistryTestServer::writePieces(QTcpSocket *socket,
                                     const std::shared_ptr<const QByteArray> &answer, qint64 offset,
                                     int pieceSize, int pauseMs, bool closeAtEnd)
{
    const qint64 size =
        pieceSize > 0 ? qMin<qint64>(pieceSize, answer->size() - offset) : answer->size() - offset;
    socket->write(answer->constData() + offset, size);
    socket->flush();
    offset += size;
    if (offset < answer->size()) {
        QTimer::singleShot(pauseMs, socket, [=] {
            writePieces(socket, answer, offset, pieceSize, pauseMs, closeAtEnd);
        });
        return;
    }
    if (closeAtEnd)
        socket->disconnectFromHost();
}
