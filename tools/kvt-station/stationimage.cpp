#include "kvt-station/stationimage.h"

#include "common/words.h"
#include "firmwareimage.h"

#include <QCryptographicHash>
#include <QFileInfo>

namespace station {

namespace {

constexpr int ShortSha = 12;

} // namespace

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
    const firmware::FirmwareImage loaded = firmware::loadFirmwareImage(path);
    if (!loaded.isValid()) {
        *message = QStringLiteral("%1: %2").arg(path, programs::imageProblemText(path, loaded));
        return false;
    }
    image->path = QFileInfo(path).absoluteFilePath();
    image->data = loaded.data;
    image->sha256 = QString::fromLatin1(
        QCryptographicHash::hash(loaded.data, QCryptographicHash::Sha256).toHex());
    return true;
}

} // namespace station
