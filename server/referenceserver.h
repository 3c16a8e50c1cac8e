#pragma once

#include "server/serveroptions.h"

#include <QObject>
#include <QStringList>

class RegistryService;
class ReportService;
class UpdateService;
class UploadService;

// The whole reference server: the registry and whichever optional services the
// options ask for, with their files.
class ReferenceServer : public QObject
{
    Q_OBJECT

public:
    explicit ReferenceServer(const ServerOptions &options, QObject *parent = nullptr);

    // Loads the files and starts listening; on failure error says why and
    // nothing listens.
    bool start(QString *error);
    // One "<service> listening on <address>:<port>" line per running service.
    QStringList listeningLines() const;

    RegistryService *registry() const { return m_registry; }
    UpdateService *update() const { return m_update; }
    ReportService *report() const { return m_report; }
    UploadService *upload() const { return m_upload; }

public Q_SLOTS:
    // Reads the hash list and the update offer again and reopens the report file.
    // Whatever fails to load keeps what was in use, and the reason is logged; so
    // does a hash list cut short, or one without digests replacing one with them
    // (unless the options accept that).
    void reload();

Q_SIGNALS:
    void reloaded(bool ok);

private:
    bool loadHashList(QString *error);

    ServerOptions m_options;
    RegistryService *m_registry = nullptr;
    UpdateService *m_update = nullptr;
    ReportService *m_report = nullptr;
    UploadService *m_upload = nullptr;
};
