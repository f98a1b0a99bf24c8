#pragma once

// Stand-ins for what the system knows of a USB-serial adapter: its driver,
// answering the request for low latency, and its sysfs tree.

#include "flash/lowlatency.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>

// A driver that offers low latency, as ftdi_sio does: it answers TIOCGSERIAL
// and TIOCSSERIAL and keeps the port's flags from one open to the next,
// while the object lives. `refuseSetWith`: an errno for every TIOCSSERIAL,
// as from a driver that will not change the flags.
class FakeSerialDriver
{
public:
    explicit FakeSerialDriver(int flags = 0, int refuseSetWith = 0)
        : flags_(flags), refuseSetWith_(refuseSetWith)
    {
        instance = this;
        serialdriver::LowLatency::setDriverCall(&call);
    }
    ~FakeSerialDriver() { serialdriver::LowLatency::setDriverCall(nullptr); }

    int flags() const { return flags_; }

private:
    static int call(int, unsigned long request, serial_struct *info)
    {
        if (request == TIOCGSERIAL)
            info->flags = instance->flags_;
        else if ((errno = instance->refuseSetWith_) == 0)
            instance->flags_ = info->flags;
        return request == TIOCGSERIAL || errno == 0 ? 0 : -1;
    }

    static inline FakeSerialDriver *instance = nullptr;
    std::atomic<int> flags_;
    const int refuseSetWith_;
};

// A sysfs tree of the shape the flasher reads, in a folder of its own, which
// KVT_SYSFS_ROOT names while the object lives.
class FakeSysfs
{
public:
    FakeSysfs() { qputenv("KVT_SYSFS_ROOT", QFile::encodeName(dir_.path())); }
    ~FakeSysfs() { qunsetenv("KVT_SYSFS_ROOT"); }
    QString filePath(const QString &name) const { return dir_.filePath(name); }

    // `tty` ("ttyUSB0", or a pty's number) as an interface of a USB device
    // with `usb`'s vid, pid, serial, bus and address; with latencyMs >= 0, a
    // latency_timer in the usb-serial port's folder, as ftdi_sio has it.
    void addTty(const QString &tty, const QStringList &usb, int latencyMs)
    {
        const QString device = dir_.path() + "/devices/usb" + usb[3] + '/' + usb[3] + '-' + usb[4];
        const QString port = device + "/1-1:1.0/" + (latencyMs < 0 ? QString() : tty);
        const QString ttyClass = dir_.filePath("class/tty/" + tty);
        bool made = QDir().mkpath(port) && QDir().mkpath(ttyClass) &&
                    QFile::link(port, ttyClass + "/device");
        const QStringList files{"idVendor", "idProduct", "serial", "busnum", "devnum"};
        for (int i = 0; i < files.size(); ++i)
            made = write(device + '/' + files[i], usb[i]) && made;
        if (latencyMs >= 0)
            made = write(port + "/latency_timer", QString::number(latencyMs)) && made;
        if (!made)
            qFatal("cannot make %s", qPrintable(ttyClass));
    }

private:
    static bool write(const QString &path, const QString &value)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(value.toLatin1() + '\n') > 0;
    }

    QTemporaryDir dir_;
};
