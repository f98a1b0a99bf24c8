#include "kvt-firmware-updater/windowmessage.h"

namespace firmware {

QString windowMessage(const FirmwareImage &image)
{
    using Problem = FirmwareImage::Problem;
    switch (image.problem) {
    case Problem::None:
        return {};
    case Problem::TooLarge:
        return QStringLiteral("The file is too large: %1 bytes (at most %2 bytes).")
            .arg(image.detail)
            .arg(MaxImageSize);
    case Problem::TooShort:
    case Problem::BadSignature:
        return QStringLiteral("Not a valid file");
    default:
        return QStringLiteral("file cannot open");
    }
}

} // namespace firmware
