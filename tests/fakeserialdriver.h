#pragma once

// A stand-in for a driver that offers low latency, as ftdi_sio does: it
// answers TIOCGSERIAL and TIOCSSERIAL for one device (a pty's slave) and keeps
// that device's flags from one open to the next; other descriptors get ENOTTY
// as from a pty's own driver. It serves while the object lives.

#include "lowlatency.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

class FakeSerialDriver
{
public:
    explicit FakeSerialDriver(const QString &device, int flags = 0) : flags_(flags)
    {
        struct stat info = {};
        ::stat(QFile::encodeName(device).constData(), &info);
        device_ = info.st_rdev;
        instance = this;
        serialdriver::LowLatency::setDriverCall(&call);
    }
    ~FakeSerialDriver()
    {
        serialdriver::LowLatency::setDriverCall(nullptr);
        instance = nullptr;
    }

    int flags() const { return flags_; }
    bool lowLatency() const { return flags_ & ASYNC_LOW_LATENCY; }
    std::atomic<int> refuseSetWith{0}; // an errno, as a driver without the flag

private:
    static int call(int fd, unsigned long request, serial_struct *info)
    {
        struct stat opened = {};
        const bool mine = ::fstat(fd, &opened) == 0 && opened.st_rdev == instance->device_;
        const int error = !mine                    ? ENOTTY
                          : request == TIOCSSERIAL ? instance->refuseSetWith.load()
                                                   : 0;
        if (error != 0) {
            errno = error;
            return -1;
        }
        if (request == TIOCGSERIAL)
            info->flags = instance->flags_;
        else
            instance->flags_ = info->flags;
        return 0;
    }

    static inline FakeSerialDriver *instance = nullptr;
    dev_t device_ = 0;
    std::atomic<int> flags_;
};
