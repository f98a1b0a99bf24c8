#pragma once

// Serial ports as the system names them: which device a name on the command
// line means, why one could not be opened, and which USB adapter is behind it.

#include "flash/portflasher.h"

#include <QSerialPort>
#include <QString>

#include <sys/types.h>

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

// Why `path` (a port, or an entry that leads to one) is no serial port, in
// words for the operator: "not a serial port: a regular file", "a link to
// nothing (/dev/ttyUSB9)", "not a serial port (/dev/tty, the controlling
// terminal)". A serial port is a terminal with a port behind it (its sysfs
// entry has a device) or a pseudo-terminal's slave end. Empty for a serial
// port, or for a terminal when the system has no sysfs to tell.
QString serialPortProblem(const QString &path);

// Why a user may not open a device of this owner, group and mode: the group
// to join when the group may read and write it, else the udev rule to
// install.
QString permissionText(const QString &device, uid_t owner, gid_t group, mode_t mode);

// Who holds the lock file of a port, when one is there: a running program,
// or one that died and left it ("... is no longer running; remove it").
// Empty when there is no lock file.
QString lockHolderText(const QString &lockFile);
// Where the serial port library keeps the lock of `device`.
QString lockFileOf(const QString &device);
// Who holds `device` through its lock file, when a running program does
// ("in use by another program (process N, NAME, owner U)"); empty when none
// does, a lock left by a program that died included (the library removes it).
QString portHolder(const QString &device);

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

// Writes `bytes` to an open port. QSerialPort hands its buffer to the line
// only once the event loop finds the port writable: for every frame a
// notifier switched on and off, and a turn of the loop over every port the
// thread serves. So what the kernel takes at once goes now, and only a rest
// or a refusal takes QSerialPort's way (its bytesWritten() and error reports
// as before). Returns the bytes taken at once, which no bytesWritten() will
// report; -1 when the port refused the rest.
qint64 writeAtOnce(QSerialPort &port, const QByteArray &bytes);

} // namespace flash
