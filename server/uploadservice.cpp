#include "server/uploadservice.h"

#include "server/uploadconnection.h"

#include <QDebug>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <unistd.h>

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

std::unique_ptr<QTemporaryFile> UploadService::createTemporaryFile(QString *error) const
{
    auto file =
        std::make_unique<QTemporaryFile>(m_folder.filePath(QStringLiteral(".upload-XXXXXX")));
    if (!file->open()) {
        if (error) {
            *error = QStringLiteral("cannot create a temporary file in %1: %2")
                         .arg(m_folder.path(), file->errorString());
        }
        return nullptr;
    }
    return file;
}

bool UploadService::store(QTemporaryFile &file, qint64 size, const QByteArray &sha256Hex)
{
    const QString path = m_folder.filePath(QString::fromLatin1(sha256Hex));
    // Same name, same bytes: a second upload of a file changes nothing.
    if (QFileInfo::exists(path)) {
        qDebug().noquote() << QStringLiteral("UploadService::store() %1 is already stored")
                                  .arg(QString::fromLatin1(sha256Hex));
        return true;
    }
    // On disk before it has its name: after a crash a stored name never holds
    // fewer bytes than its digest says.
    QString problem;
    if (!file.flush())
        problem = file.errorString();
    else if (::fdatasync(file.handle()) != 0)
        problem = qt_error_string(errno);
    else if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                  QFileDevice::ReadGroup | QFileDevice::ReadOther))
        problem = file.errorString();
    else if (!file.rename(path))
        problem = file.errorString();
    if (!problem.isEmpty()) {
        qWarning().noquote()
            << QStringLiteral("UploadService::store() cannot write %1: %2").arg(path, problem);
        return false;
    }
    file.setAutoRemove(false);
    qDebug().noquote() << QStringLiteral("UploadService::store() stored %1 bytes as %2")
                              .arg(size)
                              .arg(QString::fromLatin1(sha256Hex));
    return true;
}

ServiceConnection *UploadService::createConnection(ConnectionSocket *socket)
{
    return new UploadConnection(socket, limits(), this);
}
