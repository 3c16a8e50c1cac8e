#include "server/uploadservice.h"

#include "server/uploadconnection.h"

#include <QDebug>
#include <QFileInfo>
#include <QSaveFile>

UploadService::UploadService(const ServerLimits &limits, const QString &folder, QObject *parent)
    : TcpService(QStringLiteral("upload"), limits, parent), m_folder(folder)
{
}

bool UploadService::prepareFolder(QString *error)
{
    if (!m_folder.mkpath(QStringLiteral(".")) || !QFileInfo(m_folder.path()).isWritable()) {
        if (error)
            *error = QStringLiteral("cannot write to the upload folder %1").arg(m_folder.path());
        return false;
    }
    return true;
}

bool UploadService::store(const QByteArray &data, const QByteArray &sha256Hex)
{
    const QString path = m_folder.filePath(QString::fromLatin1(sha256Hex));
    // Same name, same bytes: a second upload of a file changes nothing.
    if (QFileInfo::exists(path)) {
        qDebug().noquote() << QStringLiteral("UploadService::store() %1 is already stored")
                                  .arg(QString::fromLatin1(sha256Hex));
        return true;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        qWarning().noquote() << QStringLiteral("UploadService::store() cannot write %1: %2")
                                    .arg(path, file.errorString());
        return false;
    }
    qDebug().noquote() << QStringLiteral("UploadService::store() stored %1 bytes as %2")
                              .arg(data.size())
                              .arg(QString::fromLatin1(sha256Hex));
    return true;
}

ServiceConnection *UploadService::createConnection(QTcpSocket *socket)
{
    return new UploadConnection(socket, limits(), this);
}
