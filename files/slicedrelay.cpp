#include "files/slicedrelay.h"

#include <QElapsedTimer>
#include <QMutexLocker>
#include <QPointer>

SlicedRelay::SlicedRelay(QObject *parent) : QObject(parent)
{
    m_gatherTimer.setSingleShot(true);
    m_gatherTimer.setInterval(GatherMs);
    connect(&m_gatherTimer, &QTimer::timeout, this, &SlicedRelay::runSlice);
}

SlicedRelay::~SlicedRelay() = default;

void SlicedRelay::post(std::function<void()> call)
{
    {
        QMutexLocker locker(&m_mutex);
        m_posted.push_back(std::move(call));
        if (std::exchange(m_wakeUpPosted, true))
            return;
    }
    QMetaObject::invokeMethod(this, &SlicedRelay::runSlice, Qt::QueuedConnection);
}

void SlicedRelay::runSlice()
{
    QElapsedTimer slice;
    slice.start();
    // A call may delete the relay (with its owner), or run a nested event loop
    // (a message box); calls posted meanwhile wait until it returns, so the
    // order holds. Each call is taken off the list before it runs.
    const QPointer<SlicedRelay> alive(this);
    bool ran = false;
    for (;;) {
        if (m_taken.empty()) {
            QMutexLocker locker(&m_mutex);
            if (m_posted.empty()) {
                // The wake-up stays marked as posted while calls are gathered.
                if (ran)
                    m_gatherTimer.start();
                else
                    m_wakeUpPosted = false;
                return;
            }
            m_taken.swap(m_posted);
        }
        if (slice.elapsed() >= SliceMs)
            break;
        const std::function<void()> call = std::move(m_taken.front());
        m_taken.pop_front();
        ran = true;
        call();
        if (!alive)
            return;
    }
    // Calls are left: the next turn comes after the events posted meanwhile,
    // and the loop serves its timers and input before that.
    QMetaObject::invokeMethod(this, &SlicedRelay::runSlice, Qt::QueuedConnection);
}
