#include "updatetestserver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QVariant>

#include <memory>

UpdateTestServer::UpdateTestServer(QObject *parent)
    : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &UpdateTestServer::accept);
}

UpdateTestServer::~UpdateTestServer() = default;

bool UpdateTestServer::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

QByteArray UpdateTestServer::address() const
{
    return "127.0.0.1:" + QByteArray::number(m_server->serverPort());
}

void UpdateTestServer::setAnswer(const QByteArray &answer)
{
    m_script.answer = answer;
}

void UpdateTestServer::setGreeting(const QByteArray &greeting)
{
    m_script.greeting = greeting;
}

void UpdateTestServer::setPieces(int pieceSize, int pauseMs)
{
    m_script.pieceSize = pieceSize;
    m_script.pauseMs = pauseMs;
}

void UpdateTestServer::setKeepOpen(bool keepOpen)
{
    m_script.keepOpen = keepOpen;
}

void UpdateTestServer::setHeld(bool held)
{
    m_held = held;
}

void UpdateTestServer::releaseAnswers()
{
    m_held = false;
    const auto waiting = std::exchange(m_waiting, {});
    for (const auto &[socket, script] : waiting) {
        if (socket && socket->state() == QAbstractSocket::ConnectedState)
            answer(socket, script, 0);
    }
}

void UpdateTestServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        ++m_connections;
        socket->setParent(this);
        const Script script = m_script;
        auto requested = std::make_shared<bool>(false);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (!socket->property("closedByServer").toBool()) {
                ++m_closedByClient;
                Q_EMIT clientClosed();
            }
            socket->deleteLater();
        });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, script, requested] {
            if (*requested || !socket->canReadLine())
                return;
            *requested = true;
            m_requests << socket->readLine();
            Q_EMIT requestReceived();
            if (m_held)
                m_waiting.append({socket, script});
            else
                answer(socket, script, 0);
        });
        if (!script.greeting.isEmpty()) {
            socket->write(script.greeting);
            socket->flush();
        }
    }
}

void UpdateTestServer::answer(QTcpSocket *socket, const Script &script, qsizetype offset)
{
    const qsizetype size = script.pieceSize > 0 ? script.pieceSize : script.answer.size();
    socket->write(script.answer.mid(offset, size));
    socket->flush();
    offset += size;
    if (offset < script.answer.size()) {
        const QPointer<QTcpSocket> alive(socket);
        QTimer::singleShot(script.pauseMs, this, [this, alive, script, offset] {
            if (alive && alive->state() == QAbstractSocket::ConnectedState)
                answer(alive, script, offset);
        });
        return;
    }
    if (!script.keepOpen) {
        socket->setProperty("closedByServer", true);
        socket->disconnectFromHost();
    }
}
