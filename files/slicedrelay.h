#pragma once

#include <QMutex>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

// Hands calls from worker threads to the thread this object lives on, in the
// order they were posted. A fast worker posts far more reports than the GUI
// thread can take in one turn of its event loop; as one queued signal each,
// they would all be served in a single turn and freeze the window. Here the
// calls wait in one list, a single wake-up is posted for many of them, and each
// turn runs calls for at most SliceMs before the loop serves its input, timers
// and painting again.
//
// Everything a worker reports whose order matters (its results and its end)
// must go through the same relay, or an end could overtake the last results.
class SlicedRelay : public QObject
{
    Q_OBJECT

public:
    // The longest a turn of the receiving event loop spends running calls.
    static constexpr int SliceMs = 20;
    // After a turn that ran every call, the next one waits this long: a worker
    // slower than the receiver would otherwise wake it once per call.
    static constexpr int GatherMs = 10;

    explicit SlicedRelay(QObject *parent = nullptr);
    ~SlicedRelay() override;

    // Any thread. The call runs later on this object's thread.
    void post(std::function<void()> call);

    // Each emission of the sender's signal, on whatever thread, becomes a call
    // of `slot` with the same arguments, run through this relay.
    template <typename Sender, typename Class, typename... Args, typename Slot>
    void forward(Sender *sender, void (Class::*signal)(Args...), Slot slot)
    {
        connect(
            sender, signal, this,
            [this, slot](Args... args) { post([slot, args...] { slot(args...); }); },
            Qt::DirectConnection);
    }

private:
    void runSlice();

    QMutex m_mutex;
    std::deque<std::function<void()>> m_posted;
    bool m_wakeUpPosted = false;
    // Taken from m_posted by runSlice(); touched on this object's thread only.
    std::deque<std::function<void()>> m_taken;
    QTimer m_gatherTimer;
};
