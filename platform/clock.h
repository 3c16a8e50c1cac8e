#pragma once

#include <QDateTime>
#include <QtGlobal>

#include <functional>

// Every designed wait (one-second passes, tail reads, time-outs, reconnection
// delays) and every "now" that decides an age goes through this class. The
// shipped program never touches the test seam below, so it gets the designed
// values unchanged.
class Clock
{
public:
    // The current time, as the logic sees it.
    static qint64 currentSecsSinceEpoch();
    static QDateTime currentDateTime();

    // A designed duration in milliseconds, as it is actually waited.
    static int wait(int designedMs);
    // Blocks the calling thread for a designed duration.
    static void sleep(int designedMs);
    // The same, but looks at stopRequested every StopCheckMs and returns at
    // once when it holds: false when stopped, true when the time passed.
    static bool sleepUnlessStopped(int designedMs, const std::function<bool()> &stopRequested);
    // How often a stoppable wait looks at its stop (real milliseconds, never
    // shortened: a stop is honoured well within a second).
    static constexpr int StopCheckMs = 50;

    // Test seam: divide every designed wait by divisor (at least 1 ms stays),
    // and shift "now" by an offset in seconds.
    static void setTestWaitDivisor(int divisor);
    static void setTestTimeOffset(qint64 seconds);
    static void advanceTestTime(qint64 seconds);
    static void resetTestSeam();
};
