#pragma once

#include "server/tcpservice.h"

#include <QByteArray>
#include <QDir>
#include <QString>

// The upload service. A client connects, writes a file's bytes (no name, no
// length) and closes; the server stores them in its folder under their SHA-256
// in lower-case hexadecimal. Uploads are held in memory until the client
// closes and only then written, through a temporary file renamed into place,
// so an upload that is cut (too large, stalled) never leaves a file behind.
class UploadService : public TcpService
{
    Q_OBJECT

public:
    UploadService(const ServerLimits &limits, const QString &folder, QObject *parent = nullptr);

    // Creates the folder when missing.
    bool prepareFolder(QString *error);
    QString folder() const { return m_folder.path(); }

    // Stores the bytes under sha256Hex; true when the file is there afterwards.
    bool store(const QByteArray &data, const QByteArray &sha256Hex);

protected:
    ServiceConnection *createConnection(QTcpSocket *socket) override;

private:
    QDir m_folder;
};
