#include "stationimage.h"

#include "firmwareimage.h"

#include <QCryptographicHash>
#include <QFileInfo>

namespace station {

namespace {

constexpr int ShortSha = 12;

// The updater window's words for each problem.
QString windowMessage(const firmware::FirmwareImage &image)
{
    using Problem = firmware::FirmwareImage::Problem;
    switch (image.problem) {
    case Problem::None:
        return {};
    case Problem::TooLarge:
        return QStringLiteral("The file is too large: %1 bytes (at most %2 bytes).")
            .arg(image.detail)
            .arg(firmware::MaxImageSize);
    case Problem::TooShort:
    case Problem::BadSignature:
        return QStringLiteral("Not a valid file");
    default:
        return QStringLiteral("file cannot open");
    }
}

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
        *message = windowMessage(loaded);
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
