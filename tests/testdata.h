#pragma once

// The test suites' data: firmware images and the frames a correct upload of
// one puts on the line.

#include "ymodem/frames.h"
#include "ymodem/upload.h"

#include <QByteArray>
#include <QVector>

namespace testdata {

// An image of `size` bytes whose blocks differ, starting with `signature`.
inline QByteArray makeImage(int size, const QByteArray &signature = QByteArray::fromHex("00400020"))
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 131 + i / 1024) & 0xFF);
    return image.replace(0, qMin(size, int(signature.size())), signature.left(size));
}

// The frames a correct upload of `image` puts on the line, in order.
inline QVector<QByteArray> canonicalFrames(const QByteArray &image)
{
    using namespace ymodem;
    QVector<QByteArray> frames{firstCommandFrame, secondCommandFrame,
                               makeHeaderBlock(UploadSession::FileNameOnLine, image.size())};
    for (int offset = 0, number = 1; offset < image.size(); offset += DataFieldSize, ++number)
        frames.append(makeDataBlock(image.mid(offset, DataFieldSize), quint8(number)));
    return frames << QByteArray(1, EOT) << makeClosingBlock();
}

} // namespace testdata
