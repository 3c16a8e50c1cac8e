#pragma once

#include <QObject>

// A network endpoint the socket table may act on (SocketTableView::closeSocket()).
class WinSocket : public QObject
{
    Q_OBJECT

public:
    explicit WinSocket(QObject *parent = nullptr);
};
