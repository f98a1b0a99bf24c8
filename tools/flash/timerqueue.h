// The timers of one thread's event loop, ordered by when they are due.

#pragma once

#include <QAbstractEventDispatcher>
#include <QList>

#include <chrono>
#include <vector>

class QObject;

namespace flash {

class TimerQueue
{
public:
    using Clock = std::chrono::steady_clock;

    void add(int id, int intervalMs, Qt::TimerType type, QObject *object);
    bool remove(int id);
    bool removeAllOf(const QObject *object);
    QList<QAbstractEventDispatcher::TimerInfo> of(const QObject *object) const;
    // Milliseconds until the timer is due, 0 when it is overdue, -1 when
    // there is no such timer.
    int remainingMs(int id) const;
    // Milliseconds until the first timer is due (rounded up, so that a wait
    // never ends just before it), -1 when there is none.
    int msUntilNext() const;
    // Sends a timer event for each timer due now and reschedules it. A timer
    // whose handler is still running (it opened an event loop) is not sent
    // again from inside that loop. Returns how many events were sent.
    int fireDue();

private:
    struct Timer
    {
        int id;
        int intervalMs;
        Qt::TimerType type;
        QObject *object;
        Clock::time_point due;
        bool firing;
    };

    Timer *find(int id);
    const Timer *find(int id) const;
    bool fireIfStillDue(int id, Clock::time_point now);

    std::vector<Timer> timers_;
};

} // namespace flash
