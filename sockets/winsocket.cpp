#include "sockets/winsocket.h"

WinSocket::WinSocket(QObject *parent) : QObject(parent) {}
