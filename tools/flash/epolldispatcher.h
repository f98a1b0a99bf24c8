// An event loop for a process that serves many serial ports at once.
//
// Qt's own dispatchers hand every descriptor to poll() on every wakeup, and
// the kernel then asks every tty whether it is ready: with 64 adapters that
// question is most of a station's CPU time. epoll keeps the list of what is
// watched in the kernel, so a wakeup costs only what is ready. Installed in
// the main thread of the programs without a window (the window system brings
// its own dispatcher).

#pragma once

#include "flash/timerqueue.h"

#include <QAbstractEventDispatcher>

#include <array>
#include <atomic>
#include <unordered_map>
#include <vector>

struct epoll_event;

namespace flash {

class EpollDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT
public:
    explicit EpollDispatcher(QObject *parent = nullptr);
    ~EpollDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override;
    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;
    void registerTimer(int timerId, int interval, Qt::TimerType timerType,
                       QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;
    void flush() override;

private:
    // The notifiers of one descriptor, by QSocketNotifier::Type.
    struct Watched
    {
        std::array<QSocketNotifier *, 3> notifiers{};
        bool inEpoll = false;
        // epoll refuses what is always ready (a file, /dev/null); poll() says
        // such a descriptor is readable and writable, and so does this loop.
        bool alwaysReady = false;
    };

    // A notifier found ready, sent its activation unless a handler before it
    // took it away.
    struct Due
    {
        int fd;
        int type;
        QSocketNotifier *notifier;
    };

    int waitMs(bool timers, bool sockets) const;
    int wait(int timeoutMs, bool sockets, epoll_event *events, int capacity);
    int activate(const epoll_event *events, int count);
    int activateAlwaysReady();
    int send(const std::vector<Due> &due);
    void updateInterest(int fd, Watched &watched);
    bool drainWakeUps();

    int epoll_ = -1;
    int wakeFd_ = -1;
    std::unordered_map<int, Watched> watched_;
    int alwaysReadyCount_ = 0;
    TimerQueue timers_;
    std::atomic<bool> interrupted_{false};
};

} // namespace flash
