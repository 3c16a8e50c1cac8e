#include "processes/winfinder.h"

WinFinder::WinFinder(QObject *parent) : QThread(parent) {}

WinFinder::~WinFinder()
{
    // A snapshot is short; the thread never outlives its object.
    wait();
}
