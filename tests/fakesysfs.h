#pragma once

// A sysfs tree of the shape the flasher reads, in a folder of its own, which
// KVT_SYSFS_ROOT names while the object lives. Each tty added is an interface
// of a USB device (idVendor, idProduct, serial, busnum, devnum); an FTDI-like
// one has its latency_timer in the usb-serial port's folder, as ftdi_sio's.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

class FakeSysfs
{
public:
    FakeSysfs() { qputenv("KVT_SYSFS_ROOT", QFile::encodeName(dir_.path())); }
    ~FakeSysfs() { qunsetenv("KVT_SYSFS_ROOT"); }

    // `tty` as in /sys/class/tty ("ttyUSB0", or a pty's number); no
    // latency_timer when `latencyMs` is negative.
    void addTty(const QString &tty, const QString &vid, const QString &pid, const QString &serial,
                int bus, int address, int latencyMs)
    {
        const QString usb = QStringLiteral("%1/devices/pci0000:00/usb%2/%2-%3")
                                .arg(dir_.path())
                                .arg(bus)
                                .arg(address);
        QString device = usb + QStringLiteral("/%1-%2:1.0").arg(bus).arg(address);
        if (latencyMs >= 0)
            device += QLatin1Char('/') + tty;
        QDir().mkpath(device);
        QDir().mkpath(dir_.filePath("class/tty/" + tty));
        QFile::link(device, dir_.filePath("class/tty/" + tty + "/device"));
        write(usb + "/idVendor", vid);
        write(usb + "/idProduct", pid);
        write(usb + "/serial", serial);
        write(usb + "/busnum", QString::number(bus));
        write(usb + "/devnum", QString::number(address));
        if (latencyMs >= 0)
            write(device + "/latency_timer", QString::number(latencyMs));
    }

private:
    static void write(const QString &path, const QString &value)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(value.toLatin1() + '\n') < 0)
            qFatal("cannot write %s", qPrintable(path));
    }

    QTemporaryDir dir_;
};
