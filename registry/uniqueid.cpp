#include "registry/uniqueid.h"

QMutex UniqueId::s_mutex;
QUuid UniqueId::s_installationUuid;

void UniqueId::setInstallationUuid(const QUuid &uuid)
{
    QMutexLocker locker(&s_mutex);
    s_installationUuid = uuid.isNull() ? QUuid::createUuid() : uuid;
}

QUuid UniqueId::installationUuid()
{
    QMutexLocker locker(&s_mutex);
    return s_installationUuid;
}

QUuid UniqueId::ensureInstallationUuid()
{
    QMutexLocker locker(&s_mutex);
    if (s_installationUuid.isNull())
        s_installationUuid = QUuid::createUuid();
    return s_installationUuid;
}
