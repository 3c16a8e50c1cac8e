#pragma once

#include "server/serviceconnection.h"

#include <QCryptographicHash>

#include <memory>

class QTemporaryFile;
class UploadService;

// One upload: every byte until the client ends its side of the connection in
// an orderly way is the file. The bytes go to a temporary file in the upload
// folder as they arrive, so an upload holds no more memory than the socket's
// read buffer. An upload larger than the limit, stalled beyond the idle limit,
// cut by the request deadline or ended by a reset leaves nothing behind.
class UploadConnection : public ServiceConnection
{
    Q_OBJECT

public:
    UploadConnection(ConnectionSocket *socket, const ServerLimits &limits, UploadService *service);
    ~UploadConnection() override;

protected:
    void processInput() override;
    void connectionReset() override;

private:
    void discard();

    UploadService *m_service;
    std::unique_ptr<QTemporaryFile> m_file;
    qint64 m_size = 0;
    QCryptographicHash m_hash;
};
