#include "flash/timerqueue.h"

#include <QCoreApplication>
#include <QTimerEvent>

#include <algorithm>
#include <utility>

namespace flash {

namespace {

using std::chrono::milliseconds;

int ceilMs(TimerQueue::Clock::duration span)
{
    const auto ms = std::chrono::ceil<milliseconds>(span).count();
    return int(std::clamp<decltype(ms)>(ms, 0, std::numeric_limits<int>::max()));
}

} // namespace

void TimerQueue::add(int id, int intervalMs, Qt::TimerType type, QObject *object)
{
    timers_.push_back(
        {id, intervalMs, type, object, Clock::now() + milliseconds(intervalMs), false});
}

bool TimerQueue::remove(int id)
{
    const auto found = std::find_if(timers_.begin(), timers_.end(),
                                    [id](const Timer &timer) { return timer.id == id; });
    if (found == timers_.end())
        return false;
    timers_.erase(found);
    return true;
}

bool TimerQueue::removeAllOf(const QObject *object)
{
    const auto before = timers_.size();
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                                 [object](const Timer &timer) { return timer.object == object; }),
                  timers_.end());
    return timers_.size() != before;
}

QList<QAbstractEventDispatcher::TimerInfo> TimerQueue::of(const QObject *object) const
{
    QList<QAbstractEventDispatcher::TimerInfo> infos;
    for (const Timer &timer : timers_) {
        if (timer.object == object)
            infos.append({timer.id, timer.intervalMs, timer.type});
    }
    return infos;
}

int TimerQueue::remainingMs(int id) const
{
    const Timer *timer = find(id);
    return timer ? ceilMs(timer->due - Clock::now()) : -1;
}

int TimerQueue::msUntilNext() const
{
    if (timers_.empty())
        return -1;
    Clock::time_point first = Clock::time_point::max();
    for (const Timer &timer : timers_) {
        if (!timer.firing)
            first = std::min(first, timer.due);
    }
    return first == Clock::time_point::max() ? -1 : ceilMs(first - Clock::now());
}

int TimerQueue::fireDue()
{
    const Clock::time_point now = Clock::now();
    std::vector<std::pair<Clock::time_point, int>> due;
    for (const Timer &timer : timers_) {
        if (timer.due <= now && !timer.firing)
            due.emplace_back(timer.due, timer.id);
    }
    std::sort(due.begin(), due.end());
    int fired = 0;
    for (const auto &entry : due)
        fired += fireIfStillDue(entry.second, now) ? 1 : 0;
    return fired;
}

// A handler may kill any timer, or start one that gets a freed id: each is
// looked up again, and only what is still due fires.
bool TimerQueue::fireIfStillDue(int id, Clock::time_point now)
{
    Timer *timer = find(id);
    if (!timer || timer->firing || timer->due > now)
        return false;
    // Due again one interval after it was due; a timer that fell behind
    // does not fire in a burst to catch up.
    timer->due += milliseconds(timer->intervalMs);
    if (timer->due < now)
        timer->due = now + milliseconds(timer->intervalMs);
    timer->firing = true;
    QTimerEvent event(id);
    QCoreApplication::sendEvent(timer->object, &event);
    if (Timer *after = find(id))
        after->firing = false;
    return true;
}

TimerQueue::Timer *TimerQueue::find(int id)
{
    return const_cast<Timer *>(std::as_const(*this).find(id));
}

const TimerQueue::Timer *TimerQueue::find(int id) const
{
    const auto found = std::find_if(timers_.begin(), timers_.end(),
                                    [id](const Timer &timer) { return timer.id == id; });
    return found == timers_.end() ? nullptr : &*found;
}

} // namespace flash
