#pragma once

#include "files/processmodifier.h"
#include "registry/pendingdigests.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>

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
    explicit OrvexHandler(OrvexCache *cache, QObject *parent = nullptr);
    ~OrvexHandler() override;

Q_SIGNALS:
    void connectionMessage(QString);
    void communicationEstablished();
    void automaticReconnectFailed();
    void setOrvexDataPacked(QString);

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
    QByteArray buildRequest(const QList<QString> &digests, int limit) const;
    void attemptReconnect();
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
};
