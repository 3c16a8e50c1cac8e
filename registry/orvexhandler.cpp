#include "registry/orvexhandler.h"

#include "platform/clock.h"
#include "registry/orvexcache.h"
#include "registry/orvexcheckstate.h"
#include "registry/orvexcommunicator.h"
#include "registry/orvexitem.h"
#include "registry/orvexresponse.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTextStream>

#include <limits>

namespace {
QString lastSeenText(uint secondsSinceEpoch)
{
    // Most lines of an answer carry the same value (0 for every unknown file),
    // and the local-time conversion costs more than the rest of a line. Each
    // handler runs on a thread of its own, which ends with its query.
    thread_local uint memoSeconds = 0;
    thread_local QString memoText;
    if (memoText.isNull() || memoSeconds != secondsSinceEpoch) {
        memoSeconds = secondsSinceEpoch;
        memoText = QDateTime::fromSecsSinceEpoch(qint64(secondsSinceEpoch))
                       .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    }
    return memoText;
}

// A decimal integer as the registry writes it: an optional minus and digits only.
bool isDecimalInteger(const QString &text)
{
    const int start = text.startsWith(QLatin1Char('-')) ? 1 : 0;
    if (text.size() == start)
        return false;
    for (int i = start; i < text.size(); ++i) {
        if (text.at(i) < QLatin1Char('0') || text.at(i) > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    text.toInt(&ok, 10);
    return ok;
}
} // namespace

OrvexHandler::OrvexHandler(OrvexCache *cache, QObject *parent)
    : ProcessModifier(parent), m_cache(cache)
{
    m_communicator = new OrvexCommunicator;
    connect(m_communicator, &OrvexCommunicator::communicationError, this,
            &OrvexHandler::connectionMessage, Qt::DirectConnection);
    connect(m_communicator, &OrvexCommunicator::communicationEstablished, this,
            &OrvexHandler::communicationEstablished, Qt::DirectConnection);
    connect(m_communicator, &OrvexCommunicator::payload, this, &OrvexHandler::processOrvexPayload,
            Qt::DirectConnection);

    m_communicator->setStopCheck([this] { return isStopRequested(); });

    m_socket = new QTcpSocket;
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &OrvexHandler::handleSocketError,
            Qt::DirectConnection);
    m_socket->moveToThread(this);
    m_communicator->setSocket(m_socket);
}

OrvexHandler::~OrvexHandler()
{
    // Owners delete a handler once it has finished; one still running (for
    // example at shutdown) is stopped first so its thread never outlives it.
    if (isRunning()) {
        userRequestStop();
        wait();
    }
    delete m_communicator;
    delete m_socket;
}

void OrvexHandler::sendQuery(QString digest)
{
    sendQuery(QList<QString>{digest});
}

void OrvexHandler::sendQuery(QList<QString> digests)
{
    if (m_pending.appendIfRunning(digests))
        return;
    // The run, if any, has decided to end and only disconnects its socket.
    wait();
    m_pending.start(digests);
    reset();
    start(QThread::InheritPriority);
}

void OrvexHandler::userRequestReconnect()
{
    m_userReconnectRequest.store(true);
}

void OrvexHandler::run()
{
    m_unansweredCount.clear();
    queryOrvex();
    m_retiredSockets.clear();
}

bool OrvexHandler::sleepUnlessStopped(int designedMs)
{
    return Clock::sleepUnlessStopped(designedMs, [this] { return isStopRequested(); });
}

bool OrvexHandler::hasPendingDigests() const
{
    return !m_pending.isEmpty();
}

bool OrvexHandler::isCached(const QString &digest) const
{
    return m_cache && m_cache->response(digest);
}

bool OrvexHandler::finishIfIdle()
{
    if (isStopRequested()) {
        m_pending.finish();
        return true;
    }
    return m_pending.finishIfEmpty();
}

void OrvexHandler::queryOrvex()
{
    // Runs nest when a connection fails inside a wait (see handleSocketError()).
    ++m_runDepth;
    const auto leave = qScopeGuard([this] { --m_runDepth; });

    emit progressStatus(tr("Connecting to the malware database..."));
    if (finishIfIdle()) {
        m_socket->disconnectFromHost();
        return;
    }

    forever
    {
        // No run is under way further up: no retired socket is in use.
        if (m_runDepth == 1)
            m_retiredSockets.clear();
        if (!sleepUnlessStopped(1000) || isStopRequested()) {
            m_pending.finish();
            return;
        }

        const QList<QString> snapshot = m_pending.snapshot();
        bool allCached = true;
        for (const QString &digest : snapshot) {
            if (!isCached(digest)) {
                allCached = false;
                break;
            }
        }

        if (allCached) {
            answerQueryFromCache(snapshot);
        } else if (!m_communicator->isConnected() && !m_communicator->connectToOrvex()) {
            if (!isStopRequested()) {
                qWarning() << "OrvexHandler::queryOrvex() the communicator object couldn't "
                              "connect to the Orvex!";
                emit progressStatus(tr("Failed to connect to the malware database."));
                if (hasPendingDigests())
                    attemptReconnect(m_communicator->failure());
            }
        } else {
            emit progressStatus(tr("Connected to the malware database."));
            if (snapshot.isEmpty()) {
                qWarning() << "OrvexHandler:queryOrvex() ran out of digests!";
                if (finishIfIdle())
                    return;
                continue;
            }
            QList<QString> asked;
            const QByteArray request =
                buildRequest(snapshot, std::numeric_limits<int>::max(), &asked);
            if (request.isEmpty()) {
                qDebug() << "OrvexHandler::queryOrvex() the cache had all digests in query.";
                answerQueryFromCache(snapshot);
                // Digests added while this pass ran are still to be answered.
                if (finishIfIdle()) {
                    m_socket->disconnectFromHost();
                    return;
                }
                continue;
            }
            emit progressStatus(tr("Checking files against the malware database..."));
            m_communicator->setRequest(request);
            if (m_communicator->queryOrvex()) {
                countUnanswered(asked);
            } else if (hasPendingDigests() && !isStopRequested()) {
                qWarning() << "OrvexHandler::queryOrvex() the communicator object could not query "
                              "the Orvex!";
                attemptReconnect(m_communicator->failure());
            }
        }

        if (finishIfIdle()) {
            m_socket->disconnectFromHost();
            return;
        }
    }
}

void OrvexHandler::countUnanswered(const QList<QString> &asked)
{
    // A digest whose record never comes whole (cut, left out, rejected) would
    // otherwise be asked again every pass for as long as the handler runs.
    for (const QString &digest : asked) {
        if (!m_pending.contains(digest)) {
            m_unansweredCount.remove(digest);
            continue;
        }
        int &count = m_unansweredCount[digest];
        if (++count < AnswersBeforeGivingUp)
            continue;
        m_unansweredCount.remove(digest);
        if (m_pending.removeAll(digest) == 0)
            continue;
        qWarning().noquote() << QStringLiteral("OrvexHandler::queryOrvex() %1 answers in a row "
                                               "held no record for digest '%2'; unable to check it")
                                    .arg(AnswersBeforeGivingUp)
                                    .arg(digest);
        emit digestUnanswered(digest);
        emit progressStep();
    }
}

QByteArray OrvexHandler::buildRequest(const QList<QString> &digests, int limit,
                                      QList<QString> *asked) const
{
    const int count = qMin(limit, int(digests.size()));
    QByteArray request;
    QTextStream stream(&request, QIODevice::WriteOnly);
    stream << "begin\n"
           << OrvexCommunicator::clientToken() << '\n'
           << OrvexCommunicator::installationDigest() << '\n'
           << OrvexCommunicator::platformDigest() << '\n';
    int written = 0;
    for (int i = 0; i < count; ++i) {
        const QString &digest = digests.at(i);
        if (isCached(digest))
            continue;
        stream << digest << '\n';
        ++written;
        if (asked)
            asked->append(digest);
    }
    stream << "end\n";
    stream.flush();
    if (written == 0)
        return QByteArray();
    return request;
}

void OrvexHandler::answerQueryFromCache(const QList<QString> &digests)
{
    for (const QString &digest : digests) {
        QCoreApplication::processEvents();
        uint lastSeen = 0;
        int rate = -1;
        if (m_cache && m_cache->response(digest, &lastSeen, &rate)) {
            // A run nested in a reconnection may have answered it already.
            if (m_pending.removeAll(digest) > 0)
                publishResult(digest, QString::number(rate), lastSeenText(lastSeen));
        } else {
            qWarning().noquote()
                << QStringLiteral("OrvexHandler::answerQueryFromCache() missed for digest '%1'")
                       .arg(digest);
        }
    }
}

void OrvexHandler::processOrvexPayload(QByteArray payload)
{
    qDebug().noquote() << QStringLiteral(
                              "OrvexHandler::processOrvexPayload() called with %1 byte payload")
                              .arg(payload.size());

    // A last line without its line end may have been cut (the server closed or
    // fell silent mid-line) and would read as a shorter, wrong value. Its digest
    // stays pending and is asked again.
    const qsizetype complete = payload.lastIndexOf('\n') + 1;
    if (complete < payload.size()) {
        qWarning().noquote() << QStringLiteral("OrvexHandler::processOrvexPayload() ignoring an "
                                               "unfinished last line of %1 bytes")
                                    .arg(payload.size() - complete);
        payload.truncate(complete);
    }

    QTextStream stream(payload);
    stream.readLine();
    while (!stream.atEnd())
        processOrvexPayloadLine(stream.readLine());
    processOrvexPayloadLine(stream.readLine());
}

bool OrvexHandler::processOrvexPayloadLine(const QString &line)
{
    if (line.isEmpty())
        return true;
    if (line.startsWith(QLatin1Char('#'))) {
        qDebug().noquote() << QStringLiteral("ORVEX PAYLOAD COMMENT: %1").arg(line);
        return true;
    }

    const QStringList parts = line.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    if (parts.size() != 3) {
        qWarning().noquote() << QStringLiteral("ORVEX PAYLOAD PARSING PROBLEM: %1").arg(line);
        return false;
    }

    const QString &digest = parts.at(0);
    bool lastSeenOk = false;
    uint lastSeen = parts.at(1).toUInt(&lastSeenOk, 10);
    if (!lastSeenOk)
        lastSeen = 0;
    const QString lastSeenString = lastSeenText(lastSeen);
    QString rate = parts.at(2);
    if (rate == QLatin1String("NO_DATA"))
        rate = QStringLiteral("-1");

    if (!isDecimalInteger(rate)) {
        qWarning().noquote() << QStringLiteral("OrvexHandler::processOrvexPayloadLine() couldn't "
                                               "interpret detection rate '%1'")
                                    .arg(rate);
        return false;
    }
    // A percentage, or -1 for no data: -5 would hide a file the engines flag.
    const int rateValue = rate.toInt();
    if (rateValue < -1 || rateValue > 100) {
        qWarning().noquote() << QStringLiteral("OrvexHandler::processOrvexPayloadLine() detection "
                                               "rate '%1' is outside -1 to 100")
                                    .arg(rate);
        return false;
    }

    if (m_pending.removeAll(digest) == 0) {
        qWarning().noquote() << QStringLiteral(
                                    "OrvexHandler::processOrvexPayloadLine() got a digest "
                                    "back that it didn't ask for: %1")
                                    .arg(digest);
        return false;
    }

    publishResult(digest, rate, lastSeenString);

    auto *response = new OrvexResponse;
    response->setResponse(lastSeen, rateValue);
    if (m_cache)
        m_cache->insert(digest, response);
    else
        delete response;
    return true;
}

void OrvexHandler::publishResult(const QString &digest, const QString &rate,
                                 const QString &lastSeen)
{
    emit setOrvexData(digest, OrvexItem::DetectionRate, QVariant(rate));
    emit setOrvexData(digest, OrvexItem::LastSeenByOrvex, QVariant(lastSeen));
    emit setOrvexData(digest, OrvexItem::OrvexState, QVariant(int(Checked)));
    emit setOrvexDataPacked(QStringLiteral("%1|%2|%3").arg(digest, rate, lastSeen));
    emit progressStep();
}

void OrvexHandler::handleSocketError(QAbstractSocket::SocketError error)
{
    qDebug().noquote() << QStringLiteral("OrvexHandler::handleSocketError() #%1 called")
                              .arg(static_cast<int>(error));

    QTcpSocket *oldSocket = m_socket;
    const QString cause =
        OrvexCommunicator::errorText(error, oldSocket ? oldSocket->errorString() : QString());
    auto *socket = new QTcpSocket;
    connect(socket, &QAbstractSocket::errorOccurred, this, &OrvexHandler::handleSocketError,
            Qt::DirectConnection);
    socket->moveToThread(this);
    m_communicator->setSocket(socket);
    m_socket = socket;

    if (oldSocket) {
        qDebug() << "OrvexHandler::handleSocketError() deleting old socket";
        oldSocket->disconnect();
        oldSocket->disconnectFromHost();
        m_retiredSockets.emplace_back(oldSocket);
    }

    attemptReconnect(cause);
}

void OrvexHandler::attemptReconnect(const QString &cause)
{
    if (isStopRequested())
        return;
    if (m_retryCount >= AutomaticReconnects) {
        emit automaticReconnectFailed();
        while (!m_userReconnectRequest.load()) {
            if (!sleepUnlessStopped(250))
                return;
        }
        m_retryCount = 0;
        m_userReconnectRequest.store(false);
    }

    const int delay = 1 << m_retryCount;
    ++m_retryCount;
    // The designed words first, then where, why and how far along.
    emit connectionMessage(
        tr("Attempting to reconnect...") + QLatin1Char(' ') +
        tr("%1: %2. Attempt %3 of %4 in %5 s.")
            .arg(m_communicator->address(), cause.isEmpty() ? tr("could not connect") : cause)
            .arg(m_retryCount)
            .arg(AutomaticReconnects)
            .arg(delay));
    if (!sleepUnlessStopped(1000 * delay))
        return;
    queryOrvex();
}
