#include "app/instancechannel.h"

#include "platform/filename.h"

#include <QDataStream>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QUrl>

#include <memory>

namespace {

// Leads every request, so that a stray client of some other program is not
// taken for a second WinOrvex.
constexpr quint32 RequestMagic = 0x574f5831; // "WOX1"
constexpr char Acknowledgement = '\x06';
// Far more than any command line; a request beyond it is dropped.
constexpr qint64 MaxRequestBytes = 16 * 1024 * 1024;
constexpr int ConnectTimeoutMs = 1000;

} // namespace

QString InstanceChannel::defaultSocketPath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
        .filePath(QStringLiteral("winorvex.socket"));
}

InstanceChannel::InstanceChannel(const QString &socketPath, QObject *parent)
    : QObject(parent), m_socketPath(socketPath)
{
}

InstanceChannel::~InstanceChannel() = default;

QStringList InstanceChannel::absoluteArguments(const QStringList &arguments)
{
    QStringList result;
    result.reserve(arguments.size());
    for (const QString &argument : arguments) {
        const bool keep = argument.isEmpty() || argument.startsWith(QLatin1Char('/')) ||
                          argument.startsWith(QLatin1Char('-')) || QUrl(argument).isLocalFile();
        result << (keep ? argument : FileName::absolute(argument));
    }
    return result;
}

bool InstanceChannel::forward(const QStringList &arguments, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(qMin(timeoutMs, ConnectTimeoutMs)))
        return false;

    QByteArray request;
    {
        QDataStream out(&request, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_6_4);
        out << RequestMagic << arguments;
    }
    socket.write(request);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    // The answer says the arguments arrived whole; without it they may be lost
    // with an instance that is just ending, and this one had better run.
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(timeoutMs))
            break;
    }
    char answer = 0;
    const bool taken = socket.getChar(&answer) && answer == Acknowledgement;
    qDebug().noquote() << QStringLiteral("InstanceChannel::forward() %1 arguments %2")
                              .arg(arguments.size())
                              .arg(taken ? QStringLiteral("taken") : QStringLiteral("not taken"));
    return taken;
}

bool InstanceChannel::listen()
{
    if (m_server)
        return m_server->isListening();
    // The lock, not the socket, says who the instance is: QLocalServer takes a
    // socket file over even while another instance listens on it. The lock of
    // a process that has ended counts as free.
    auto lock = std::make_unique<QLockFile>(m_socketPath + QStringLiteral(".lock"));
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        if (lock->error() != QLockFile::LockFailedError)
            qWarning().noquote()
                << QStringLiteral("InstanceChannel::listen() cannot lock '%1'").arg(m_socketPath);
        return false;
    }
    // A socket file left here now is a crashed instance's.
    if (QFileInfo::exists(m_socketPath)) {
        qDebug().noquote() << QStringLiteral("InstanceChannel::listen() removing the stale "
                                             "socket '%1'")
                                  .arg(m_socketPath);
        QLocalServer::removeServer(m_socketPath);
    }
    auto server = std::make_unique<QLocalServer>(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(m_socketPath)) {
        qWarning().noquote() << QStringLiteral(
                                    "InstanceChannel::listen() cannot listen on '%1': %2")
                                    .arg(m_socketPath, server->errorString());
        return false;
    }
    m_lock = std::move(lock);
    connect(server.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this,
                    [this, socket] { readRequest(socket); });
            readRequest(socket);
        }
    });
    m_server = server.release();
    return true;
}

void InstanceChannel::readRequest(QLocalSocket *socket)
{
    if (socket->bytesAvailable() > MaxRequestBytes) {
        qWarning() << "InstanceChannel::readRequest() request too long, dropped";
        socket->abort();
        return;
    }
    QDataStream in(socket);
    in.setVersion(QDataStream::Qt_6_4);
    in.startTransaction();
    quint32 magic = 0;
    QStringList arguments;
    in >> magic >> arguments;
    if (in.status() == QDataStream::ReadPastEnd) {
        in.rollbackTransaction();
        return;
    }
    if (!in.commitTransaction() || magic != RequestMagic) {
        qWarning() << "InstanceChannel::readRequest() malformed request, dropped";
        socket->abort();
        return;
    }
    socket->putChar(Acknowledgement);
    socket->flush();
    socket->disconnectFromServer();
    emit argumentsReceived(arguments);
}
