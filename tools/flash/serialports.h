#pragma once

// Serial ports as the system names them: which device a name on the command
// line means, why one could not be opened, and which USB adapter is behind it.

#include "flash/portflasher.h"

#include <QSerialPort>
#include <QString>

namespace flash {

// A name with a "/" in it, or one that names an entry of the current
// directory, is a path; a bare name such as "ttyUSB0" is looked up under /dev.
QString portPath(const QString &name);

// The device a port name leads to, symlinks (such as /dev/serial/by-id/...)
// followed; the path itself when it does not exist.
QString resolvePort(const QString &name);

// Why `device` could not be opened, in words that name the cause: "no such
// port", "not a serial port", "in use by another program", or "permission
// denied" with the group that owns it and how to join it.
QString openFailureText(const QString &device, QSerialPort::SerialPortError error,
                        const QString &systemText);

// Where sysfs is read: /sys, unless KVT_SYSFS_ROOT names a tree of the same
// shape (a test's own); read here alone, at every call.
QString sysfsRoot();

// The USB adapter behind a device, when the system knows it; read from sysfs
// for that device alone, in microseconds.
UsbIdentity usbIdentity(const QString &device);
// The adapter's latency timer in milliseconds, where the driver has one
// (ftdi_sio: latency_timer in the usb-serial port's folder); -1 otherwise.
int latencyTimerMs(const QString &device);
QVector<UsbIdentity> usbIdentities(const QStringList &devices);

} // namespace flash
