#include "firmwareimage.h"

#include <QFile>
#include <QFileInfo>

namespace firmware {

namespace {

FirmwareImage refused(FirmwareImage::Problem problem, const QString &message)
{
    FirmwareImage image;
    image.problem = problem;
    image.message = message;
    return image;
}

} // namespace

bool hasImageSignature(const QByteArray &data)
{
    static const QByteArray signature = QByteArray::fromHex("00400020");
    return data.startsWith(signature);
}

FirmwareImage loadFirmwareImage(const QString &path, qint64 maxSize)
{
    // A pipe or device node has no size and may never end: it is no image.
    // Asked before opening, since opening a pipe waits for its writer.
    const QFileInfo info(path);
    QFile file(path);
    if ((info.exists() && !info.isFile()) || !file.open(QIODevice::ReadOnly) || file.isSequential())
        return refused(FirmwareImage::Problem::CannotOpen, QStringLiteral("file cannot open"));
    if (file.size() > maxSize) {
        return refused(FirmwareImage::Problem::TooLarge,
                       QStringLiteral("The file is too large: %1 bytes (at most %2 bytes).")
                           .arg(file.size())
                           .arg(maxSize));
    }
    FirmwareImage image;
    image.data = file.readAll();
    if (image.data.size() != file.size()) // a read error part-way through
        return refused(FirmwareImage::Problem::CannotOpen, QStringLiteral("file cannot open"));
    if (!hasImageSignature(image.data)) {
        image.problem = FirmwareImage::Problem::NotValid;
        image.message = QStringLiteral("Not a valid file");
    }
    return image;
}

} // namespace firmware
