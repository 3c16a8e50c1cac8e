#pragma once

#include <QThread>

#include <atomic>

// Base of every worker thread: progress signals for the GUI and a cooperative
// stop. The GUI only ever calls userRequestStop() on a running worker.
class ProgressInterface : public QThread
{
    Q_OBJECT

public:
    explicit ProgressInterface(QObject *parent = nullptr);

    // Returns the worker to its idle state; subclasses also clear their inputs.
    virtual void reset();

    bool isStopRequested() const { return m_stopRequested.load(std::memory_order_acquire); }

Q_SIGNALS:
    void progressMaximum(int);
    void progressValue(int);
    void progressStep();
    void progressStatus(QString);
    void userStopped();

public Q_SLOTS:
    virtual void userRequestStop();

protected:
    void run() override;

private:
    // Written by the GUI thread, polled by the worker between units of work.
    std::atomic<bool> m_stopRequested{false};
};
