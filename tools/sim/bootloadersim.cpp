// The simulator's life on a file descriptor: the line and the timer feed the
// core, what it answers is written when due, its events become signals, and
// the results are read by other threads under the lock.

#include "sim/bootloadersim.h"

#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr qint64 NsPerSecond = 1000000000;

} // namespace

BootloaderSim::BootloaderSim(int lineFd, const BootloaderSimOptions &options, QObject *parent)
    : QObject(parent), fd_(lineFd), core_(options)
{
    clock_.start();
}

BootloaderSim::~BootloaderSim()
{
    // Other threads read the results under the lock; taking it here orders
    // their last reads before this memory goes, also for ThreadSanitizer,
    // which does not see how Qt hands the deletion to this thread.
    {
        const std::lock_guard<std::mutex> lock(mutex_);
    }
    delete readNotifier_;
    delete timerNotifier_;
    if (timerFd_ >= 0)
        ::close(timerFd_);
    if (fd_ >= 0)
        ::close(fd_);
}

BootloaderSim::Phase BootloaderSim::phase() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return core_.phase();
}

QString BootloaderSim::fileName() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return core_.fileName();
}

qint64 BootloaderSim::announcedSize() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return core_.announcedSize();
}

QByteArray BootloaderSim::receivedImage() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return core_.receivedImage();
}

BootloaderSimCounters BootloaderSim::counters() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return core_.counters();
}

QStringList BootloaderSim::log() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return core_.log();
}

QStringList BootloaderSim::problems() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return core_.problems();
}

bool BootloaderSim::start()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (fd_ < 0 || readNotifier_ != nullptr)
        return false;
    // Replies are dropped rather than block the device when nobody reads
    // the line, as a UART without flow control would.
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    // Answers on a paced line are due to the microsecond; a QTimer rounds up
    // to whole milliseconds and would make every block about 1 ms late.
    timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerFd_ < 0)
        return false;
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, &BootloaderSim::readLine);
    timerNotifier_ = new QSocketNotifier(timerFd_, QSocketNotifier::Read, this);
    connect(timerNotifier_, &QSocketNotifier::activated, this, &BootloaderSim::onTimer);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        core_.start();
    }
    serveCore();
    return true;
}

void BootloaderSim::closeLine()
{
    if (QThread::currentThread() != thread()) {
        closeLineFromAnotherThread();
        return;
    }
    if (fd_ >= 0) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            core_.closeLine();
        }
        serveCore();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    closesDone_ = closesAsked_;
    closed_.notify_all();
}

// A blocking queued call would do the same, but Qt hands off through its own
// futex-based semaphore, which ThreadSanitizer cannot see: everything the sim's
// thread did would look unordered with what the caller does next. The call goes
// by name (Qt builds its event, nothing of ours crosses with it) and the wait
// is on a standard mutex and condition variable, which show the order.
void BootloaderSim::closeLineFromAnotherThread()
{
    std::unique_lock<std::mutex> lock(mutex_);
    const quint64 ticket = ++closesAsked_;
    QMetaObject::invokeMethod(this, "closeLine", Qt::QueuedConnection);
    closed_.wait(lock, [this, ticket] { return closesDone_ >= ticket; });
}

void BootloaderSim::readLine()
{
    char buffer[4096];
    while (fd_ >= 0) {
        const ssize_t count = ::read(fd_, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (count > 0) {
                core_.receive(QByteArray(buffer, int(count)), nowNs());
            } else {
                // End of file or an error such as EIO: the other side is gone.
                core_.note(count == 0 ? QStringLiteral("the line reports end of file")
                                      : QStringLiteral("line error: %1")
                                            .arg(QString::fromLocal8Bit(std::strerror(errno))));
                core_.closeLine();
            }
        }
        serveCore();
    }
}

void BootloaderSim::onTimer()
{
    quint64 expirations = 0;
    if (::read(timerFd_, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        core_.tick(nowNs());
    }
    serveCore();
}

void BootloaderSim::serveCore()
{
    using Kind = sim::BootloaderEvent::Kind;
    for (;;) {
        QVector<sim::BootloaderOutput> outputs;
        QVector<sim::BootloaderEvent> events;
        qint64 next;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            outputs = core_.takeOutput();
            events = core_.takeEvents();
            next = core_.nextDeadlineNs();
        }
        if (outputs.isEmpty() && events.isEmpty())
            return armTimer(next);
        for (const sim::BootloaderOutput &output : outputs)
            writeLine(output.bytes);
        for (const sim::BootloaderEvent &event : events) {
            switch (event.kind) {
            case Kind::CommandFrames:
                emit commandFramesReceived();
                break;
            case Kind::Header:
                emit headerReceived(event.text, event.value);
                break;
            case Kind::Block:
                emit blockReceived(int(event.value));
                break;
            case Kind::Eot:
                emit eotReceived();
                break;
            case Kind::Completed:
                emit transferCompleted();
                break;
            case Kind::Cancelled:
                emit transferCancelled();
                break;
            case Kind::CloseLine:
                shutLine();
                emit lineClosed();
                break;
            case Kind::Log:
                emit logged(event.text);
                break;
            case Kind::Problem:
                break; // its log line follows
            }
        }
    }
}

void BootloaderSim::writeLine(const QByteArray &bytes)
{
    if (fd_ < 0)
        return;
    ssize_t written;
    do {
        written = ::write(fd_, bytes.constData(), size_t(bytes.size()));
    } while (written < 0 && errno == EINTR);
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        written = 0;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (written < 0) {
        core_.note(
            QStringLiteral("write error: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        core_.closeLine();
    } else if (written < bytes.size()) {
        core_.problem(
            QStringLiteral("nobody reads the line: %1 byte(s) lost").arg(bytes.size() - written));
    }
}

// A zero time would disarm the timer; one nanosecond fires at once.
void BootloaderSim::armTimer(qint64 atNs)
{
    if (timerFd_ < 0)
        return;
    const qint64 inNs =
        atNs == sim::BootloaderCore::NoDeadline ? 0 : std::max<qint64>(1, atNs - nowNs());
    itimerspec when{};
    when.it_value.tv_sec = time_t(inNs / NsPerSecond);
    when.it_value.tv_nsec = long(inNs % NsPerSecond);
    ::timerfd_settime(timerFd_, 0, &when, nullptr);
}

void BootloaderSim::shutLine()
{
    if (fd_ < 0)
        return;
    if (readNotifier_ != nullptr) {
        // Possibly inside its own activated() signal: delete it later.
        readNotifier_->setEnabled(false);
        readNotifier_->deleteLater();
        readNotifier_ = nullptr;
    }
    armTimer(sim::BootloaderCore::NoDeadline);
    ::close(fd_);
    fd_ = -1;
}
