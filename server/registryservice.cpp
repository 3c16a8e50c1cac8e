#include "server/registryservice.h"

#include "server/registryconnection.h"

RegistryService::RegistryService(const ServerLimits &limits, QObject *parent)
    : TcpService(QStringLiteral("registry"), limits, parent),
      m_hashList(std::make_shared<const HashList>())
{
}

void RegistryService::setHashList(HashList list)
{
    m_hashList = std::make_shared<const HashList>(std::move(list));
}

ServiceConnection *RegistryService::createConnection(ConnectionSocket *socket)
{
    return new RegistryConnection(socket, limits(), this);
}
