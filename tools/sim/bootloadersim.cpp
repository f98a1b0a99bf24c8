// The simulator's life and its results: setting up the line and timers,
// closing the line, and the state other threads read under the lock. Reading
// the line is in simreading.cpp, the receiver in simreceiver.cpp, paced
// writing in simwriting.cpp.

#include "sim/bootloadersim.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <fcntl.h>
#include <memory>
#include <sys/timerfd.h>
#include <unistd.h>

BootloaderSim::BootloaderSim(int lineFd, const BootloaderSimOptions &options, QObject *parent)
    : QObject(parent), options_(options), fd_(lineFd)
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
    delete writeTimerNotifier_;
    if (writeTimerFd_ >= 0)
        ::close(writeTimerFd_);
    if (fd_ >= 0)
        ::close(fd_);
}

BootloaderSim::Phase BootloaderSim::phase() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return phase_;
}

QString BootloaderSim::fileName() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return fileName_;
}

qint64 BootloaderSim::announcedSize() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return announcedSize_;
}

QByteArray BootloaderSim::receivedImage() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (announcedSize_ < 0 || announcedSize_ >= data_.size())
        return data_;
    return data_.left(int(announcedSize_));
}

BootloaderSimCounters BootloaderSim::counters() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

QStringList BootloaderSim::log() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

QStringList BootloaderSim::problems() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return problems_;
}

bool BootloaderSim::start()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (fd_ < 0 || readNotifier_ != nullptr)
        return false;
    // Replies are dropped rather than block the device when nobody reads
    // the line, as a UART without flow control would.
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);

    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, &BootloaderSim::readLine);

    cTimer_ = new QTimer(this);
    cTimer_->setInterval(options_.cIntervalMs);
    connect(cTimer_, &QTimer::timeout, this, &BootloaderSim::pollC);

    // Answers on a paced line are due to the microsecond; a QTimer rounds up
    // to whole milliseconds and would make every block about 1 ms late.
    writeTimerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (writeTimerFd_ < 0)
        return false;
    writeTimerNotifier_ = new QSocketNotifier(writeTimerFd_, QSocketNotifier::Read, this);
    connect(writeTimerNotifier_, &QSocketNotifier::activated, this, &BootloaderSim::onWriteTimer);

    stallTimer_ = new QTimer(this);
    stallTimer_->setSingleShot(true);
    stallTimer_->setInterval(options_.stallTimeoutMs);
    connect(stallTimer_, &QTimer::timeout, this, &BootloaderSim::onStall);

    note(QStringLiteral("waiting for the command frames"));
    return true;
}

void BootloaderSim::closeLine()
{
    if (QThread::currentThread() != thread()) {
        runInOwnThreadAndWait([this] { closeLine(); });
        return;
    }
    if (fd_ < 0)
        return;
    if (readNotifier_ != nullptr) {
        // Possibly inside its own activated() signal: delete it later.
        readNotifier_->setEnabled(false);
        readNotifier_->deleteLater();
        readNotifier_ = nullptr;
    }
    for (QTimer *timer : {cTimer_, stallTimer_})
        if (timer != nullptr)
            timer->stop();
    armWriteTimer(0);
    outgoing_.clear();
    input_.clear();
    ::close(fd_);
    fd_ = -1;
    setPhase(Phase::LineClosed);
    note(QStringLiteral("line closed"));
    emit lineClosed();
}

// A blocking queued call would do the same, but Qt hands off through its own
// futex-based semaphore, which ThreadSanitizer cannot see: everything the sim's
// thread did would look unordered with what the caller does next. A standard
// mutex and condition variable, shared with the queued call, show the order.
void BootloaderSim::runInOwnThreadAndWait(const std::function<void()> &work)
{
    struct Handoff
    {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    const auto handoff = std::make_shared<Handoff>();
    QMetaObject::invokeMethod(
        this,
        [handoff, work] {
            work();
            const std::lock_guard<std::mutex> lock(handoff->mutex);
            handoff->done = true;
            handoff->changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(handoff->mutex);
    handoff->changed.wait(lock, [&handoff] { return handoff->done; });
}

void BootloaderSim::setPhase(Phase phase)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase;
}

void BootloaderSim::note(const QString &message)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        log_.append(message);
    }
    emit logged(message);
}

void BootloaderSim::problem(const QString &message)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        problems_.append(message);
    }
    note(QStringLiteral("problem: ") + message);
}

QString BootloaderSim::hexByte(char byte)
{
    return QStringLiteral("0x%1").arg(quint8(byte), 2, 16, QLatin1Char('0'));
}
