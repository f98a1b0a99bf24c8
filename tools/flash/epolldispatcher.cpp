#include "flash/epolldispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

// QtCore's count of events posted to any thread and not yet sent; its own
// dispatchers answer hasPendingEvents() with it.
uint qGlobalPostedEventsCount();

namespace flash {

namespace {

// What wakes which kind of notifier, by QSocketNotifier::Type: a hang-up or
// an error wakes the reader, which then reads the end or the error, as in
// Qt's default event loop.
constexpr std::array<uint32_t, 3> ReadinessOf = {
    EPOLLIN | EPOLLHUP | EPOLLERR,  // Read
    EPOLLOUT | EPOLLERR,            // Write
    EPOLLPRI | EPOLLHUP | EPOLLERR, // Exception
};
constexpr uint32_t Asked = EPOLLIN | EPOLLOUT | EPOLLPRI; // hang-ups and errors come unasked
// Level-triggered: what does not fit in one wait comes in the next.
constexpr int EventsPerWait = 128;

} // namespace

EpollDispatcher::EpollDispatcher(QObject *parent) : QAbstractEventDispatcher(parent)
{
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.fd = wakeFd_;
    if (epoll_ < 0 || wakeFd_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeFd_, &wake) < 0)
        qFatal("Cannot create an event loop: %s", std::strerror(errno));
}

EpollDispatcher::~EpollDispatcher()
{
    ::close(wakeFd_);
    ::close(epoll_);
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    interrupted_.store(false);
    emit awake();
    QCoreApplication::sendPostedEvents();
    const bool timers = !flags.testFlag(QEventLoop::X11ExcludeTimers);
    const bool sockets = !flags.testFlag(QEventLoop::ExcludeSocketNotifiers);
    const bool mayWait = flags.testFlag(QEventLoop::WaitForMoreEvents) && !interrupted_.load();
    if (mayWait)
        emit aboutToBlock();
    if (interrupted_.load())
        return false;
    std::array<epoll_event, EventsPerWait> events;
    const int timeoutMs = mayWait ? waitMs(timers, sockets) : 0;
    const int ready = wait(timeoutMs, sockets, events.data(), EventsPerWait);
    int handled = sockets ? activate(events.data(), ready) + activateAlwaysReady() : 0;
    if (timers)
        handled += timers_.fireDue();
    return handled > 0;
}

int EpollDispatcher::waitMs(bool timers, bool sockets) const
{
    if (sockets && alwaysReadyCount_ > 0)
        return 0;
    return timers ? timers_.msUntilNext() : -1;
}

// Returns how many descriptors epoll found ready; without the notifiers only
// a wake-up (or the time) ends the wait.
int EpollDispatcher::wait(int timeoutMs, bool sockets, epoll_event *events, int capacity)
{
    if (!sockets) {
        pollfd wake{wakeFd_, POLLIN, 0};
        if (::poll(&wake, 1, timeoutMs) > 0)
            drainWakeUps();
        return 0;
    }
    const int ready = ::epoll_wait(epoll_, events, capacity, timeoutMs);
    if (ready < 0 && errno != EINTR) // EINTR: a signal came; the caller's loop looks again
        qWarning("Waiting for events failed: %s", std::strerror(errno));
    return ready < 0 ? 0 : ready;
}

int EpollDispatcher::activate(const epoll_event *events, int count)
{
    std::vector<Due> due;
    int woken = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wakeFd_) {
            woken = drainWakeUps() ? 1 : 0;
            continue;
        }
        const auto found = watched_.find(fd);
        if (found == watched_.end()) { // closed and reused while still in the set
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            continue;
        }
        for (int type = 0; type < 3; ++type) {
            QSocketNotifier *notifier = found->second.notifiers[size_t(type)];
            if (notifier && (events[i].events & ReadinessOf[size_t(type)]))
                due.push_back({fd, type, notifier});
        }
    }
    return woken + send(due);
}

int EpollDispatcher::activateAlwaysReady()
{
    if (alwaysReadyCount_ == 0)
        return 0;
    std::vector<Due> due;
    for (const auto &[fd, watched] : watched_) {
        for (int type : {QSocketNotifier::Read, QSocketNotifier::Write}) {
            if (watched.alwaysReady && watched.notifiers[size_t(type)])
                due.push_back({fd, type, watched.notifiers[size_t(type)]});
        }
    }
    return send(due);
}

// A notifier's handler may disable or delete any notifier, the next one
// included: each is sent only while it is still the one registered.
int EpollDispatcher::send(const std::vector<Due> &due)
{
    int sent = 0;
    for (const Due &entry : due) {
        const auto found = watched_.find(entry.fd);
        if (found == watched_.end() ||
            found->second.notifiers[size_t(entry.type)] != entry.notifier)
            continue;
        QEvent activation(QEvent::SockAct);
        QCoreApplication::sendEvent(entry.notifier, &activation);
        ++sent;
    }
    return sent;
}

void EpollDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    Watched &watched = watched_[fd];
    watched.notifiers[size_t(notifier->type())] = notifier;
    updateInterest(fd, watched);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const auto found = watched_.find(int(notifier->socket()));
    if (found == watched_.end() || found->second.notifiers[size_t(notifier->type())] != notifier)
        return;
    found->second.notifiers[size_t(notifier->type())] = nullptr;
    updateInterest(found->first, found->second);
}

void EpollDispatcher::updateInterest(int fd, Watched &watched)
{
    uint32_t interest = 0;
    for (size_t type = 0; type < watched.notifiers.size(); ++type) {
        if (watched.notifiers[type])
            interest |= ReadinessOf[type] & Asked;
    }
    if (interest == 0) {
        if (watched.inEpoll) // fails harmlessly when the descriptor is closed already
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        alwaysReadyCount_ -= watched.alwaysReady ? 1 : 0;
        watched_.erase(fd);
        return;
    }
    if (watched.alwaysReady)
        return;
    epoll_event event{};
    event.events = interest;
    event.data.fd = fd;
    int result = ::epoll_ctl(epoll_, watched.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event);
    if (result < 0 && errno == ENOENT) // closed and opened again under the same number
        result = ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    else if (result < 0 && errno == EEXIST)
        result = ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
    if (result == 0) {
        watched.inEpoll = true;
    } else if (errno == EPERM) {
        watched.alwaysReady = true;
        ++alwaysReadyCount_;
    } else {
        qWarning("Cannot watch descriptor %d: %s", fd, std::strerror(errno));
    }
}

bool EpollDispatcher::drainWakeUps()
{
    uint64_t count = 0;
    return ::read(wakeFd_, &count, sizeof count) == ssize_t(sizeof count);
}

bool EpollDispatcher::hasPendingEvents()
{
    return qGlobalPostedEventsCount() > 0;
}

void EpollDispatcher::registerTimer(int timerId, int interval, Qt::TimerType timerType,
                                    QObject *object)
{
    timers_.add(timerId, interval, timerType, object);
}

bool EpollDispatcher::unregisterTimer(int timerId)
{
    return timers_.remove(timerId);
}

bool EpollDispatcher::unregisterTimers(QObject *object)
{
    return timers_.removeAllOf(object);
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(QObject *object) const
{
    return timers_.of(object);
}

int EpollDispatcher::remainingTime(int timerId)
{
    return timers_.remainingMs(timerId);
}

// From any thread.
void EpollDispatcher::wakeUp()
{
    const uint64_t one = 1;
    const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    Q_UNUSED(written) // only a full counter refuses, and then a wake-up is pending anyway
}

// From any thread.
void EpollDispatcher::interrupt()
{
    interrupted_.store(true);
    wakeUp();
}

void EpollDispatcher::flush() {}

} // namespace flash
