#pragma once

#include "server/serviceconnection.h"

class UpdateService;

// One update check: reads the request line, writes the answer in one piece
// and closes. A line that is too long or not text closes without an answer.
class UpdateConnection : public ServiceConnection
{
    Q_OBJECT

public:
    UpdateConnection(ConnectionSocket *socket, const ServerLimits &limits, UpdateService *service);

protected:
    void processInput() override;

private:
    UpdateService *m_service;
};
