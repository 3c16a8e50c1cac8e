#include "sockets/winudpsocket.h"

WinUDPSocket::WinUDPSocket(QObject *parent) : WinSocket(parent) {}
