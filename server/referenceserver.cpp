#include "server/referenceserver.h"

#include "server/hashlist.h"
#include "server/registryservice.h"
#include "server/reportservice.h"
#include "server/updateservice.h"
#include "server/uploadservice.h"

#include <QDebug>

ReferenceServer::ReferenceServer(const ServerOptions &options, QObject *parent)
    : QObject(parent), m_options(options)
{
}

bool ReferenceServer::loadHashList(QString *error)
{
    if (m_options.hashListPath.isEmpty()) {
        m_registry->setHashList(HashList());
        return true;
    }
    QStringList problems;
    std::optional<HashList> list = HashList::load(m_options.hashListPath, &problems, error);
    for (const QString &problem : std::as_const(problems)) {
        qWarning().noquote() << QStringLiteral("ReferenceServer::loadHashList() %1: %2 (skipped)")
                                    .arg(m_options.hashListPath, problem);
    }
    if (!list)
        return false;
    const int inUse = m_registry->hashList()->size();
    if (list->size() == 0 && inUse > 0 && !m_options.acceptEmptyHashList) {
        if (error) {
            *error = QStringLiteral("%1 lists no digest, and the list in use holds %2 "
                                    "(--accept-empty-hash-list allows this)")
                         .arg(m_options.hashListPath)
                         .arg(inUse);
        }
        return false;
    }
    if (list->size() == 0) {
        qWarning().noquote() << QStringLiteral("ReferenceServer::loadHashList() %1 lists no "
                                               "digest: every digest answers NO_DATA")
                                    .arg(m_options.hashListPath);
    }
    qDebug().noquote() << QStringLiteral("ReferenceServer::loadHashList() loaded %1 digests "
                                         "from %2")
                              .arg(list->size())
                              .arg(m_options.hashListPath);
    m_registry->setHashList(std::move(*list));
    return true;
}

bool ReferenceServer::start(QString *error)
{
    const ServerLimits &limits = m_options.limits;
    m_registry = new RegistryService(limits, this);
    if (m_options.hashListPath.isEmpty()) {
        qWarning("ReferenceServer::start() no hash list given: every digest answers NO_DATA");
    }
    bool ok = loadHashList(error);
    if (ok && m_options.updatePort) {
        m_update = new UpdateService(limits, this);
        ok = m_update->loadOffer(m_options.updateOfferPath, error);
    }
    if (ok && m_options.reportPort) {
        m_report = new ReportService(limits, m_options.reportFilePath, this);
        ok = m_report->openFile(error);
    }
    if (ok && m_options.uploadPort) {
        m_upload = new UploadService(limits, m_options.uploadDir, this);
        ok = m_upload->prepareFolder(error);
    }

    const QHostAddress &address = m_options.listenAddress;
    ok = ok && m_registry->listen(address, m_options.registryPort, error);
    ok = ok && (!m_update || m_update->listen(address, *m_options.updatePort, error));
    ok = ok && (!m_report || m_report->listen(address, *m_options.reportPort, error));
    ok = ok && (!m_upload || m_upload->listen(address, *m_options.uploadPort, error));
    if (!ok) {
        delete m_registry;
        delete m_update;
        delete m_report;
        delete m_upload;
        m_registry = nullptr;
        m_update = nullptr;
        m_report = nullptr;
        m_upload = nullptr;
    }
    return ok;
}

QStringList ReferenceServer::listeningLines() const
{
    QStringList lines;
    for (const TcpService *service :
         {static_cast<TcpService *>(m_registry), static_cast<TcpService *>(m_update),
          static_cast<TcpService *>(m_report), static_cast<TcpService *>(m_upload)}) {
        if (service)
            lines.append(service->listeningLine());
    }
    return lines;
}

void ReferenceServer::reload()
{
    qDebug("ReferenceServer::reload() called");
    if (!m_registry)
        return;
    bool ok = true;
    QString error;
    if (!m_options.hashListPath.isEmpty() && !loadHashList(&error)) {
        qWarning().noquote() << QStringLiteral("ReferenceServer::reload() %1; keeping the hash "
                                               "list in use")
                                    .arg(error);
        ok = false;
    }
    if (m_update && !m_update->loadOffer(m_options.updateOfferPath, &error)) {
        qWarning().noquote() << QStringLiteral("ReferenceServer::reload() %1; keeping the update "
                                               "offer in use")
                                    .arg(error);
        ok = false;
    }
    if (m_report && !m_report->openFile(&error)) {
        qWarning().noquote() << QStringLiteral("ReferenceServer::reload() %1; keeping the report "
                                               "file open")
                                    .arg(error);
        ok = false;
    }
    emit reloaded(ok);
}
