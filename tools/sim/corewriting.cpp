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
constexpr int AdapterBufferBytes = 62; // an FTDI packet of 64, less 2 status bytes

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
    due = throughAdapter(bytes.size(), due);
    outgoing_.push_back({options_.silent ? QByteArray() : bytes, due, std::move(afterWrite)});
    scheduleWrite();
}

// When bytes that reached the adapter at `arrivalNs` reach the host. The chip
// starts its latency timer with the first byte it holds and sends all it
// holds when the timer runs out, or at once when its buffer fills. Answers
// are a few bytes each, so one answer is never split between two packets.
qint64 BootloaderSim::throughAdapter(int bytes, qint64 arrivalNs)
{
    if (options_.adapterLatencyMs <= 0)
        return arrivalNs;
    if (bytes == 0) // a step after the answers before it: it waits for them
        return heldBytes_ > 0 ? std::max(arrivalNs, heldUntilNs_) : arrivalNs;
    if (heldBytes_ == 0 || arrivalNs >= heldUntilNs_) {
        heldBytes_ = 0;
        heldUntilNs_ = arrivalNs + options_.adapterLatencyMs * NsPerMs;
    }
    heldBytes_ += bytes;
    if (heldBytes_ < AdapterBufferBytes)
        return heldUntilNs_;
    // Full: what was held goes now, with this answer.
    for (auto held = outgoing_.rbegin(); held != outgoing_.rend() && held->dueNs == heldUntilNs_;
         ++held)
        held->dueNs = arrivalNs;
    heldBytes_ = 0;
    heldUntilNs_ = arrivalNs;
    if (writeArmed_ && !outgoing_.empty())
        armWriteTimer(std::max<qint64>(1, outgoing_.front().dueNs - nowNs()));
    return arrivalNs;
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
