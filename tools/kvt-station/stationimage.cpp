#include "kvt-station/stationimage.h"

#include "kvt-firmware-updater/windowmessage.h"

#include <QCryptographicHash>
#include <QFileInfo>

namespace station {

namespace {

constexpr int ShortSha = 12;

} // namespace

bool StationImage::changedOnDisk() const
{
    const QFileInfo now(path);
    return !now.exists() || now.size() != fileSize || now.lastModified() != modified;
}

QString StationImage::summary() const
{
    return QStringLiteral("%1 · %2 KiB (%3 bytes) · sha256 %4")
        .arg(QFileInfo(path).fileName())
        .arg(data.size() / 1024.0, 0, 'f', 1)
        .arg(data.size())
        .arg(sha256.left(ShortSha));
}

bool loadStationImage(const QString &path, StationImage *image, QString *message)
{
    // What the file looked like before reading it: a change while it is read
    // then shows as a change too.
    const QFileInfo before(path);
    const QDateTime modified = before.lastModified();
    const qint64 fileSize = before.size();
    const firmware::FirmwareImage loaded = firmware::loadFirmwareImage(path);
    if (!loaded.isValid()) {
        *message = firmware::windowMessage(loaded);
        return false;
    }
    image->path = before.absoluteFilePath();
    image->data = loaded.data;
    image->sha256 = QString::fromLatin1(
        QCryptographicHash::hash(loaded.data, QCryptographicHash::Sha256).toHex());
    image->modified = modified;
    image->fileSize = fileSize;
    return true;
}

} // namespace station
