#include "words.h"

#include <QFileInfo>

namespace programs {

QString durationText(qint64 ms)
{
    if (ms < 0)
        return QStringLiteral("-");
    if (ms < 1000)
        return QStringLiteral("%1 ms").arg(ms);
    if (ms < 60 * 1000)
        return QStringLiteral("%1 s").arg(ms / 1000.0, 0, 'f', 1);
    return QStringLiteral("%1 min %2 s")
        .arg(ms / 60000)
        .arg((ms / 1000) % 60, 2, 10, QLatin1Char('0'));
}

QString speedText(double bytesPerSecond)
{
    if (!(bytesPerSecond > 0))
        return {};
    return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
}

QString kibText(qint64 bytes)
{
    return QStringLiteral("%1 KiB").arg(double(bytes) / 1024.0, 0, 'f', 1);
}

QString imageChangedText(const QString &file, const QString &loadedSha256,
                         const QString &diskSha256)
{
    if (diskSha256 == loadedSha256)
        return {};
    if (diskSha256.isEmpty())
        return QStringLiteral("%1 is gone from the disk; still flashing the image loaded at start "
                              "(sha256 %2…)")
            .arg(file, loadedSha256.left(12));
    return QStringLiteral("%1 changed on disk (sha256 %2…); still flashing the image loaded at "
                          "start (sha256 %3…)")
        .arg(file, diskSha256.left(12), loadedSha256.left(12));
}

QString imageProblemText(const QString &path, const firmware::FirmwareImage &image)
{
    using Problem = firmware::FirmwareImage::Problem;
    switch (image.problem) {
    case Problem::None:
        break;
    case Problem::Missing:
        return QStringLiteral("no such file");
    case Problem::NotRegular:
        return QFileInfo(path).isDir() ? QStringLiteral("is a directory, not a firmware file")
                                       : QStringLiteral("not a regular file");
    case Problem::CannotOpen:
        return QStringLiteral("cannot open: %1").arg(image.detail);
    case Problem::ReadFailed:
        return QStringLiteral("cannot read it whole: %1").arg(image.detail);
    case Problem::TooLarge:
        return QStringLiteral("too large: %1 bytes (at most %2 bytes)")
            .arg(image.detail)
            .arg(firmware::MaxImageSize);
    case Problem::TooShort:
        return QStringLiteral("too short for a firmware image: %1 bytes").arg(image.data.size());
    case Problem::BadSignature:
        return QStringLiteral("not a firmware image: starts with %1, not %2")
            .arg(image.detail, firmware::signatureText());
    }
    return {};
}

} // namespace programs
