#include "registry/orvexresponse.h"

#include "platform/clock.h"

OrvexResponse::OrvexResponse(QObject *parent) : QObject(parent) {}

void OrvexResponse::setResponse(uint lastSeen, int detectionRate)
{
    m_lastSeen = lastSeen;
    m_detectionRate = detectionRate;
    m_storedAt = static_cast<uint>(Clock::currentSecsSinceEpoch());
}
