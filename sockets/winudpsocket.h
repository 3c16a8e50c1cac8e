#pragma once

#include "sockets/winsocket.h"

// One UDP endpoint; nothing can be done to it from outside its process.
class WinUDPSocket : public WinSocket
{
    Q_OBJECT

public:
    explicit WinUDPSocket(QObject *parent = nullptr);
};
