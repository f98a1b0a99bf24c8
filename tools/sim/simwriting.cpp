// Writing to the line: every answer is due at a time of its own (the reply
// delay, the erase delay, the wire time of a paced line) and goes out in the
// order it was sent, from a timerfd to the microsecond.

#include "sim/bootloadersim.h"

#include "ymodem/line.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr qint64 NsPerUs = 1000;
constexpr qint64 NsPerMs = 1000000;
constexpr qint64 NsPerSecond = 1000000000;

} // namespace

void BootloaderSim::reply(const QByteArray &bytes, qint64 arrivalNs, int delayMs,
                          std::function<void()> afterWrite)
{
    send(bytes, arrivalNs + delayMs * NsPerMs, std::move(afterWrite));
}

void BootloaderSim::send(const QByteArray &bytes, qint64 readyNs, std::function<void()> afterWrite)
{
    qint64 due = std::max(readyNs, nowNs());
    if (options_.paceBaud > 0) {
        // The reply is in the host's hands once its last byte is through.
        due = std::max(due, outboundFreeNs_) + wireNs(bytes.size());
        outboundFreeNs_ = due;
    }
    due = std::max(due, lastDueNs_); // the line keeps the order of sending
    lastDueNs_ = due;
    outgoing_.push_back({options_.silent ? QByteArray() : bytes, due, std::move(afterWrite)});
    scheduleWrite();
}

void BootloaderSim::scheduleWrite()
{
    if (outgoing_.empty() || writeArmed_)
        return;
    // A zero time would disarm the timer; one nanosecond fires at once.
    armWriteTimer(std::max<qint64>(1, outgoing_.front().dueNs - nowNs()));
}

void BootloaderSim::armWriteTimer(qint64 inNs)
{
    if (writeTimerFd_ < 0)
        return;
    itimerspec when{};
    when.it_value.tv_sec = time_t(inNs / NsPerSecond);
    when.it_value.tv_nsec = long(inNs % NsPerSecond);
    ::timerfd_settime(writeTimerFd_, 0, &when, nullptr);
    writeArmed_ = inNs > 0;
}

void BootloaderSim::onWriteTimer()
{
    quint64 expirations = 0;
    if (::read(writeTimerFd_, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
        return;
    writeArmed_ = false;
    writeDue();
}

void BootloaderSim::writeDue()
{
    const qint64 now = nowNs();
    while (!outgoing_.empty() && outgoing_.front().dueNs <= now) {
        Outgoing out = std::move(outgoing_.front());
        outgoing_.pop_front();
        if (!out.bytes.isEmpty())
            writeLine(out.bytes);
        if (fd_ < 0)
            return;
        if (out.afterWrite)
            out.afterWrite();
        if (fd_ < 0)
            return;
    }
    scheduleWrite();
}

void BootloaderSim::writeLine(const QByteArray &bytes)
{
    ssize_t written;
    do {
        written = ::write(fd_, bytes.constData(), size_t(bytes.size()));
    } while (written < 0 && errno == EINTR);
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        written = 0;
    if (written < 0) {
        note(QStringLiteral("write error: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        closeLine();
        return;
    }
    if (written < bytes.size())
        problem(
            QStringLiteral("nobody reads the line: %1 byte(s) lost").arg(bytes.size() - written));
}

qint64 BootloaderSim::wireNs(qint64 bytes) const
{
    return ymodem::line::wireTimeUs(bytes, options_.paceBaud) * NsPerUs;
}
