#pragma once

#include <QObject>

// One cached registry answer, stamped with the time it was stored.
class OrvexResponse : public QObject
{
    Q_OBJECT

public:
    explicit OrvexResponse(QObject *parent = nullptr);

    // Sets both answer fields and stamps the object with the current time.
    void setResponse(uint lastSeen, int detectionRate);

    uint storedAt() const { return m_storedAt; }
    uint lastSeen() const { return m_lastSeen; }
    int detectionRate() const { return m_detectionRate; }

private:
    uint m_storedAt = 0;
    uint m_lastSeen = 0;
    int m_detectionRate = -1;
};
