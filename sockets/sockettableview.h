#pragma once

#include <QObject>
#include <QPointer>
#include <QTableView>

// The table of a process's network endpoints in the process inspector. It may
// hold one socket object (WinTCPSocket or WinUDPSocket) that closeSocket() acts on.
class SocketTableView : public QTableView
{
    Q_OBJECT

public:
    explicit SocketTableView(QWidget *parent = nullptr);

    QObject *socket() const { return m_socket; }
    void setSocket(QObject *socket) { m_socket = socket; }

public Q_SLOTS:
    // Ends the held TCP connection: true when it was ended. Nothing happens
    // without a socket or for one that is not TCP.
    bool closeSocket();

private:
    QPointer<QObject> m_socket;
};
