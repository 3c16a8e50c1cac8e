#pragma once

#include "files/processmodifier.h"
#include "registry/pendingdigests.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <memory>
#include <vector>

class OrvexCache;
class OrvexCommunicator;
class QTcpSocket;

// A worker thread that turns MD5 digests into registry answers: it answers what
// it can from the cache, sends the rest in one request, publishes one result
// record per digest and reconnects when the connection fails.
class OrvexHandler : public ProcessModifier
{
    Q_OBJECT

public:
    // Automatic reconnections before the handler waits for the user.
    static constexpr int AutomaticReconnects = 6;
    // Answers in a row that may leave a digest unanswered before it is given up.
    static constexpr int AnswersBeforeGivingUp = 3;

    explicit OrvexHandler(OrvexCache *cache, QObject *parent = nullptr);
    ~OrvexHandler() override;

Q_SIGNALS:
    void connectionMessage(QString);
    void communicationEstablished();
    void automaticReconnectFailed();
    void setOrvexDataPacked(QString);
    // AnswersBeforeGivingUp answers in a row held no acceptable record for the
    // digest: it is no longer asked and cannot be checked. Once per digest, in
    // order with setOrvexDataPacked().
    void digestUnanswered(QString md5);

public Q_SLOTS:
    void sendQuery(QString digest);
    void sendQuery(QList<QString> digests);
    void userRequestReconnect();

protected Q_SLOTS:
    void processOrvexPayload(QByteArray payload);
    void handleSocketError(QAbstractSocket::SocketError error);

protected:
    void run() override;

private:
    void queryOrvex();
    void answerQueryFromCache(const QList<QString> &digests);
    bool processOrvexPayloadLine(const QString &line);
    // The digests written are added to asked when it is given.
    QByteArray buildRequest(const QList<QString> &digests, int limit,
                            QList<QString> *asked = nullptr) const;
    // cause: why the last attempt failed, in words for the user.
    void attemptReconnect(const QString &cause);
    // Counts an answer against every digest it left pending and gives up on
    // those it was the last chance for.
    void countUnanswered(const QList<QString> &asked);
    bool sleepUnlessStopped(int designedMs);
    void publishResult(const QString &digest, const QString &rate, const QString &lastSeen);
    bool hasPendingDigests() const;
    bool isCached(const QString &digest) const;
    // Ends the run when no digest is pending; on the way out of a run.
    bool finishIfIdle();

    PendingDigests m_pending;
    QTcpSocket *m_socket = nullptr;
    OrvexCommunicator *m_communicator = nullptr;
    int m_retryCount = 0; // touched by the worker only
    std::atomic<bool> m_userReconnectRequest{false};
    OrvexCache *m_cache;
    // Worker only: answers in a row that left a pending digest unanswered.
    QHash<QString, int> m_unansweredCount;
    // Sockets replaced after an error. One may still be inside the wait that
    // reported the error, further up the stack of nested runs, so they are
    // deleted only where no run is under way.
    std::vector<std::unique_ptr<QTcpSocket>> m_retiredSockets;
    int m_runDepth = 0; // worker only
};
