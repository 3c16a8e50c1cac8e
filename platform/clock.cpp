#include "platform/clock.h"

#include <QDeadlineTimer>
#include <QThread>

#include <atomic>

namespace {
std::atomic<int> g_waitDivisor{1};
std::atomic<qint64> g_timeOffset{0};
} // namespace

qint64 Clock::currentSecsSinceEpoch()
{
    return QDateTime::currentSecsSinceEpoch() + g_timeOffset.load();
}

QDateTime Clock::currentDateTime()
{
    return QDateTime::currentDateTime().addSecs(g_timeOffset.load());
}

int Clock::wait(int designedMs)
{
    const int divisor = g_waitDivisor.load();
    if (divisor <= 1 || designedMs <= 0)
        return designedMs;
    return qMax(1, designedMs / divisor);
}

void Clock::sleep(int designedMs)
{
    QThread::msleep(static_cast<unsigned long>(wait(designedMs)));
}

bool Clock::sleepUnlessStopped(int designedMs, const std::function<bool()> &stopRequested)
{
    const QDeadlineTimer deadline(qMax(0, wait(designedMs)), Qt::PreciseTimer);
    forever
    {
        if (stopRequested && stopRequested())
            return false;
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return true;
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(left, StopCheckMs)));
    }
}

void Clock::setTestWaitDivisor(int divisor)
{
    g_waitDivisor.store(qMax(1, divisor));
}

void Clock::setTestTimeOffset(qint64 seconds)
{
    g_timeOffset.store(seconds);
}

void Clock::advanceTestTime(qint64 seconds)
{
    g_timeOffset.fetch_add(seconds);
}

void Clock::resetTestSeam()
{
    g_waitDivisor.store(1);
    g_timeOffset.store(0);
}
