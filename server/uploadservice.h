#pragma once

#include "server/tcpservice.h"

#include <QByteArray>
#include <QDir>
#include <QString>

#include <memory>

class QTemporaryFile;

// The upload service. A client connects, writes a file's bytes (no name, no
// length) and closes; the server stores them in its folder under their SHA-256
// in lower-case hexadecimal. The bytes go to a hidden temporary file in the
// folder as they arrive; only an upload the client ended in an orderly way is
// synced and renamed into place, so an upload that is cut (too large, stalled,
// reset) never leaves a file behind.
class UploadService : public TcpService
{
    Q_OBJECT

public:
    UploadService(const ServerLimits &limits, const QString &folder, QObject *parent = nullptr);

    // Creates the folder when missing.
    bool prepareFolder(QString *error);
    QString folder() const { return m_folder.path(); }

    // An open temporary file in the folder, removed when it goes unless it
    // was stored; nothing, with the reason in error, when it cannot be made.
    std::unique_ptr<QTemporaryFile> createTemporaryFile(QString *error) const;
    // Stores the file's size bytes under sha256Hex; true when the file is
    // there afterwards.
    bool store(QTemporaryFile &file, qint64 size, const QByteArray &sha256Hex);

protected:
    ServiceConnection *createConnection(ConnectionSocket *socket) override;

private:
    QDir m_folder;
};
