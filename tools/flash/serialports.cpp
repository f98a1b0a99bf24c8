#include "flash/serialports.h"

#include <QFileInfo>
#include <QSerialPortInfo>

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

UsbIdentity identityIn(const QList<QSerialPortInfo> &ports, const QString &device)
{
    UsbIdentity identity;
    for (const QSerialPortInfo &info : ports) {
        if (QFileInfo(info.systemLocation()).canonicalFilePath() != device)
            continue;
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            identity.vid =
                QStringLiteral("%1").arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'));
            identity.pid =
                QStringLiteral("%1").arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        }
        identity.serial = info.serialNumber();
        break;
    }
    return identity;
}

} // namespace

UsbIdentity usbIdentity(const QString &device)
{
    return identityIn(QSerialPortInfo::availablePorts(), device);
}

QVector<UsbIdentity> usbIdentities(const QStringList &devices)
{
    QVector<UsbIdentity> identities;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QString &device : devices)
        identities.append(identityIn(ports, device));
    return identities;
}

} // namespace flash
