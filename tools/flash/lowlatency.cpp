#include "flash/lowlatency.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace serialdriver {

namespace {

int systemDriverCall(int fd, unsigned long request, serial_struct *info)
{
    int result;
    do {
        result = ::ioctl(fd, request, info);
    } while (result < 0 && errno == EINTR);
    return result;
}

std::atomic<LowLatency::DriverCall> driverCall{&systemDriverCall};

} // namespace

void LowLatency::setDriverCall(DriverCall call)
{
    driverCall = call ? call : &systemDriverCall;
}

LowLatency::Answer LowLatency::request(int fd)
{
    const DriverCall call = driverCall;
    fd_ = fd;
    refusal_ = 0;
    serial_struct info{};
    if (call(fd, TIOCGSERIAL, &info) != 0) {
        refusal_ = errno;
        return answer_ = Answer::Refused;
    }
    flagsBefore_ = info.flags;
    if (info.flags & ASYNC_LOW_LATENCY)
        return answer_ = Answer::AlreadyLow;
    info.flags |= ASYNC_LOW_LATENCY;
    if (call(fd, TIOCSSERIAL, &info) != 0) {
        refusal_ = errno;
        return answer_ = Answer::Refused;
    }
    return answer_ = Answer::Granted;
}

// Only the flags go back; whatever else changed meanwhile stays.
void LowLatency::restore()
{
    const DriverCall call = driverCall;
    serial_struct info{};
    if (answer_ == Answer::Granted && call(fd_, TIOCGSERIAL, &info) == 0) {
        info.flags = flagsBefore_;
        call(fd_, TIOCSSERIAL, &info);
    }
    fd_ = -1;
    answer_ = Answer::NotAsked;
}

QString LowLatency::description() const
{
    switch (answer_) {
    case Answer::Granted:
        return QStringLiteral("low latency: granted by the driver");
    case Answer::AlreadyLow:
        return QStringLiteral("low latency: already set");
    case Answer::Refused:
        return QStringLiteral("low latency: not offered by the driver (%1)")
            .arg(QString::fromLocal8Bit(std::strerror(refusal_)));
    case Answer::NotAsked:
        break;
    }
    return QStringLiteral("low latency: not asked for");
}

} // namespace serialdriver
