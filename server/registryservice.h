#pragma once

#include "server/hashlist.h"
#include "server/tcpservice.h"

#include <memory>

// The hash registry: answers digest queries from the loaded hash list.
class RegistryService : public TcpService
{
    Q_OBJECT

public:
    explicit RegistryService(const ServerLimits &limits, QObject *parent = nullptr);

    // The first line of every answer; clients skip it.
    static const char *answerHeader() { return "# WinOrvex reference registry\n"; }

    // Replaces the table in one step: an answer is always built from one list.
    void setHashList(HashList list);
    std::shared_ptr<const HashList> hashList() const { return m_hashList; }

protected:
    ServiceConnection *createConnection(ConnectionSocket *socket) override;

private:
    std::shared_ptr<const HashList> m_hashList;
};
