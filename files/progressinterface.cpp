#include "files/progressinterface.h"

#include <QDebug>

ProgressInterface::ProgressInterface(QObject *parent) : QThread(parent) {}

void ProgressInterface::reset()
{
    m_stopRequested.store(false, std::memory_order_release);
}

void ProgressInterface::userRequestStop()
{
    m_stopRequested.store(true, std::memory_order_release);
}

void ProgressInterface::run()
{
    qDebug() << "ProgressInterface::run() called";
}
