#include "server/tcplistener.h"

#include <QMetaMethod>

#include <unistd.h>

void TcpListener::incomingConnection(qintptr descriptor)
{
    if (!isSignalConnected(QMetaMethod::fromSignal(&TcpListener::accepted))) {
        ::close(static_cast<int>(descriptor));
        return;
    }
    emit accepted(descriptor);
}
