#include "flash/serialports.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace flash {

QString portPath(const QString &name)
{
    if (name.contains(QLatin1Char('/')) || QFileInfo::exists(name))
        return QFileInfo(name).absoluteFilePath();
    return QStringLiteral("/dev/") + name;
}

QString resolvePort(const QString &name)
{
    const QString path = portPath(name);
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

QString permissionText(const QString &device, uid_t owner, gid_t group, mode_t mode)
{
    const struct group *groupEntry = ::getgrgid(group);
    const QString groupName =
        groupEntry ? QString::fromLocal8Bit(groupEntry->gr_name) : QString::number(group);
    if ((mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        return QStringLiteral("permission denied: %1 belongs to group %2; join it with "
                              "'sudo usermod -aG %2 $USER' and log in again")
            .arg(device, groupName);
    const struct passwd *user = ::getpwuid(owner);
    return QStringLiteral("no access to %1 (owner %2, mode %3): install the udev rule (see README)")
        .arg(device, user ? QString::fromLocal8Bit(user->pw_name) : QString::number(owner))
        .arg(int(mode & 07777), 4, 8, QLatin1Char('0'));
}

QString lockFileOf(const QString &device)
{
    // The serial port library names the lock after the port's name under
    // /dev, and keeps it in the first of these folders that has it or may
    // hold it.
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name = QStringLiteral("/LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char *folder : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                               "/tmp", "/var/tmp", "/var/lock/lockdev", "/run/lock"}) {
        const QString path = QString::fromLatin1(folder) + name;
        const QFileInfo info{QString::fromLatin1(folder)};
        if (info.isReadable() && (QFileInfo::exists(path) || info.isWritable()))
            return path;
    }
    return {};
}

namespace {

// What a lock file says of the program that made it.
struct LockHolder
{
    qint64 pid = 0;
    QString program;
    QString owner;
    bool running = false;
};

bool readLock(const QString &lockFile, LockHolder *holder)
{
    QFile file(lockFile);
    struct stat info = {};
    if (lockFile.isEmpty() || ::stat(QFile::encodeName(lockFile).constData(), &info) != 0 ||
        !file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    holder->pid = lines.value(0).trimmed().toLongLong();
    holder->program = QString::fromLocal8Bit(lines.value(1).trimmed());
    const struct passwd *user = ::getpwuid(info.st_uid);
    holder->owner = user ? QString::fromLocal8Bit(user->pw_name) : QString::number(info.st_uid);
    holder->running = holder->pid > 0 && (::kill(pid_t(holder->pid), 0) == 0 || errno == EPERM);
    return true;
}

QString inUseText(const LockHolder &holder)
{
    return QStringLiteral("in use by another program (process %1%2, owner %3)")
        .arg(holder.pid)
        .arg(holder.program.isEmpty() ? QString() : QStringLiteral(", ") + holder.program,
             holder.owner);
}

} // namespace

QString lockHolderText(const QString &lockFile)
{
    LockHolder holder;
    if (!readLock(lockFile, &holder))
        return {};
    if (holder.running)
        return inUseText(holder);
    return QStringLiteral("locked by %1, left by process %2 (owner %3), which is no longer "
                          "running; remove it")
        .arg(lockFile)
        .arg(holder.pid)
        .arg(holder.owner);
}

QString portHolder(const QString &device)
{
    LockHolder holder;
    if (!readLock(lockFileOf(device), &holder) || !holder.running)
        return {};
    return inUseText(holder);
}

namespace {

// Qt reports a lock held by another process and a port the user may not open
// with the same error; asking the device itself tells them apart. A node
// that is no terminal has no modem lines, so opening it changes nothing.
QString probe(const QString &device, const struct stat &info)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM)
            return permissionText(device, info.st_uid, info.st_gid, info.st_mode);
        if (errno == EBUSY)
            return QStringLiteral("in use by another program");
        return {};
    }
    const bool terminal = ::isatty(fd) == 1;
    ::close(fd);
    if (!terminal)
        return QStringLiteral("not a serial port");
    const QString holder = lockHolderText(lockFileOf(device));
    return holder.isEmpty() ? QStringLiteral("in use by another program") : holder;
}

} // namespace

QString openFailureText(const QString &device, QSerialPort::SerialPortError error,
                        const QString &systemText)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(device).constData(), &info) != 0)
        return QStringLiteral("no such port");
    if (!S_ISCHR(info.st_mode))
        return QStringLiteral("not a serial port");
    if (error == QSerialPort::PermissionError || error == QSerialPort::OpenError ||
        error == QSerialPort::UnsupportedOperationError || error == QSerialPort::UnknownError) {
        const QString why = probe(device, info);
        if (!why.isEmpty())
            return why;
    }
    return systemText;
}

namespace {

QString fileKind(mode_t mode)
{
    if (S_ISREG(mode))
        return QStringLiteral("a regular file");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISFIFO(mode))
        return QStringLiteral("a pipe");
    return QStringLiteral("a socket");
}

// Terminals by their fixed device numbers that no board is behind, though
// the system files them as terminals and the serial port library opens them.
QString terminalOfNoPort(dev_t number)
{
    const unsigned int group = major(number), member = minor(number);
    if (group == 5 && member == 0)
        return QStringLiteral("the controlling terminal");
    if (group == 5 && member == 1)
        return QStringLiteral("the system console");
    if (group == 5 && member == 2)
        return QStringLiteral("the pseudo-terminal master");
    if (group == 4 && member < 64) // from 64 on, major 4 is the 8250 UARTs
        return QStringLiteral("a virtual console");
    return {};
}

// The slave ends of Unix98 pseudo-terminals, where a program (or a test's
// simulated board) stands in for a device.
bool isPseudoTerminalSlave(dev_t number)
{
    return major(number) >= 136 && major(number) <= 143;
}

// A terminal whose sysfs entry has a device is a port of some hardware; one
// without is a terminal of the kernel's own.
QString sysfsProblem(const QString &device, dev_t number)
{
    const QString chars = sysfsRoot() + QStringLiteral("/dev/char");
    if (!QFileInfo(chars).isDir())
        return {}; // the system does not say
    const QString entry =
        QStringLiteral("%1/%2:%3").arg(chars).arg(major(number)).arg(minor(number));
    const QString kind =
        QFileInfo(QFileInfo(entry + QStringLiteral("/subsystem")).canonicalFilePath()).fileName();
    if (kind.isEmpty())
        return QStringLiteral("not a serial port (%1, a device the system does not know)")
            .arg(device);
    if (kind != QLatin1String("tty"))
        return QStringLiteral("not a serial port (%1, a %2 device)").arg(device, kind);
    if (!QFileInfo::exists(entry + QStringLiteral("/device")))
        return QStringLiteral("not a serial port (%1, a terminal with no port behind it)")
            .arg(device);
    return {};
}

} // namespace

QString serialPortProblem(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info = {};
    if (::stat(encoded.constData(), &info) != 0) {
        if (::lstat(encoded.constData(), &info) == 0 && S_ISLNK(info.st_mode))
            return QStringLiteral("a link to nothing (%1)").arg(QFileInfo(path).symLinkTarget());
        return QStringLiteral("no such port");
    }
    if (!S_ISCHR(info.st_mode))
        return QStringLiteral("not a serial port: ") + fileKind(info.st_mode);
    if (isPseudoTerminalSlave(info.st_rdev))
        return {};
    const QString device = QFileInfo(path).canonicalFilePath();
    const QString role = terminalOfNoPort(info.st_rdev);
    if (!role.isEmpty())
        return QStringLiteral("not a serial port (%1, %2)").arg(device, role);
    return sysfsProblem(device, info.st_rdev);
}

namespace {

QString sysfsValue(const QDir &dir, const char *name)
{
    QFile file(dir.filePath(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().trimmed())
                                          : QString();
}

} // namespace

QString sysfsRoot()
{
    const QString root = qEnvironmentVariable("KVT_SYSFS_ROOT");
    return root.isEmpty() ? QStringLiteral("/sys") : root;
}

namespace {

// The tty's device folder and its parents up to the USB device, whose folder
// holds idVendor; empty when the tty has no device there.
QVector<QDir> deviceFolders(const QString &device)
{
    const QString root = QDir(sysfsRoot()).canonicalPath();
    if (root.isEmpty())
        return {};
    const QString devices = root + QStringLiteral("/devices/");
    const QString name = QFileInfo(device).fileName();
    QString path =
        QFileInfo(QStringLiteral("%1/class/tty/%2/device").arg(root, name)).canonicalFilePath();
    QVector<QDir> folders;
    for (; path.startsWith(devices); path = QFileInfo(path).path()) {
        folders.append(QDir(path));
        if (folders.last().exists(QStringLiteral("idVendor")))
            break;
    }
    return folders;
}

} // namespace

// Straight from sysfs, for this one tty: the tty's device is an interface of
// a USB device whose folder, further up, holds idVendor, idProduct and
// serial. Listing every port through Qt would cost milliseconds per board.
UsbIdentity usbIdentity(const QString &device)
{
    UsbIdentity identity;
    const QVector<QDir> folders = deviceFolders(device);
    if (folders.isEmpty() || !folders.last().exists(QStringLiteral("idVendor")))
        return identity;
    const QDir &usb = folders.last();
    identity.vid = sysfsValue(usb, "idVendor").toLower();
    identity.pid = sysfsValue(usb, "idProduct").toLower();
    identity.serial = sysfsValue(usb, "serial");
    identity.bus = sysfsValue(usb, "busnum").toInt();
    identity.address = sysfsValue(usb, "devnum").toInt();
    return identity;
}

int latencyTimerMs(const QString &device)
{
    for (const QDir &folder : deviceFolders(device)) {
        bool valid = false;
        const int ms = sysfsValue(folder, "latency_timer").toInt(&valid);
        if (valid)
            return ms;
    }
    return -1;
}

QVector<UsbIdentity> usbIdentities(const QStringList &devices)
{
    QVector<UsbIdentity> identities;
    for (const QString &device : devices)
        identities.append(usbIdentity(device));
    return identities;
}

qint64 writeAtOnce(QSerialPort &port, const QByteArray &bytes)
{
    qint64 taken = 0;
    if (port.bytesToWrite() == 0)
        taken = qMax<qint64>(0, ::write(port.handle(), bytes.constData(), size_t(bytes.size())));
    if (taken < bytes.size() && port.write(bytes.mid(int(taken))) != bytes.size() - taken)
        return -1;
    return taken;
}

} // namespace flash
