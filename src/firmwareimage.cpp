#include "firmwareimage.h"

#include <QFile>
#include <QFileInfo>

namespace firmware {

namespace {

const QByteArray Signature = QByteArray::fromHex("00400020");

FirmwareImage refused(FirmwareImage::Problem problem, const QString &detail = {})
{
    FirmwareImage image;
    image.problem = problem;
    image.detail = detail;
    return image;
}

QString hexBytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

bool hasImageSignature(const QByteArray &data)
{
    return data.startsWith(Signature);
}

QString signatureText()
{
    return hexBytes(Signature);
}

FirmwareImage loadFirmwareImage(QFile &file, qint64 maxSize)
{
    // A pipe or device node has no size and may never end: it is no image.
    // Asked before opening, since opening a pipe waits for its writer.
    const QFileInfo info(file.fileName());
    if (!info.exists() && !info.isSymLink())
        return refused(FirmwareImage::Problem::Missing);
    if (info.exists() && !info.isFile())
        return refused(FirmwareImage::Problem::NotRegular);
    if (!file.open(QIODevice::ReadOnly))
        return refused(FirmwareImage::Problem::CannotOpen, file.errorString());
    if (file.isSequential())
        return refused(FirmwareImage::Problem::NotRegular);
    if (file.size() > maxSize)
        return refused(FirmwareImage::Problem::TooLarge, QString::number(file.size()));
    FirmwareImage image;
    image.fileSize = file.size();
    image.data = file.readAll();
    if (image.data.size() != image.fileSize) // a read error part-way through
        return refused(FirmwareImage::Problem::ReadFailed, file.errorString());
    if (image.data.size() < SignatureSize)
        image.problem = FirmwareImage::Problem::TooShort;
    else if (!hasImageSignature(image.data)) {
        image.problem = FirmwareImage::Problem::BadSignature;
        image.detail = hexBytes(image.data.left(SignatureSize));
    }
    return image;
}

FirmwareImage loadFirmwareImage(const QString &path, qint64 maxSize)
{
    QFile file(path);
    return loadFirmwareImage(file, maxSize);
}

} // namespace firmware
