#include "flash/serialports.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
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

namespace {

QString permissionText(const QString &device, const struct stat &info)
{
    const struct group *owner = ::getgrgid(info.st_gid);
    const QString group =
        owner ? QString::fromLocal8Bit(owner->gr_name) : QStringLiteral("dialout");
    return QStringLiteral("permission denied: %1 belongs to group %2; join it with "
                          "'sudo usermod -aG %2 $USER' and log in again")
        .arg(device, group);
}

// Qt reports a lock held by another process and a port the user may not open
// with the same error; asking the device itself tells them apart. A node
// that is no terminal has no modem lines, so opening it changes nothing.
QString probe(const QString &device, const struct stat &info)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM)
            return permissionText(device, info);
        if (errno == EBUSY)
            return QStringLiteral("in use by another program");
        return {};
    }
    const bool terminal = ::isatty(fd) == 1;
    ::close(fd);
    return terminal ? QStringLiteral("in use by another program")
                    : QStringLiteral("not a serial port");
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

} // namespace flash
