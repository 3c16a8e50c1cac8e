#pragma once

#include "server/serviceconnection.h"

#include <QByteArray>
#include <QCryptographicHash>

class UploadService;

// One upload: every byte until the client closes is the file. An upload
// larger than the limit or stalled beyond the idle limit is thrown away.
class UploadConnection : public ServiceConnection
{
    Q_OBJECT

public:
    UploadConnection(QTcpSocket *socket, const ServerLimits &limits, UploadService *service);

protected:
    void processInput() override;
    void peerClosed() override;

private:
    bool take();

    UploadService *m_service;
    QByteArray m_data;
    QCryptographicHash m_hash;
};
