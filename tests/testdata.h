#pragma once

// The test suites' data: firmware images and the frames a correct upload of
// one puts on the line.

#include "ymodem/frames.h"
#include "ymodem/upload.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
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

// A file's bytes; empty when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces `path` with `bytes`; false when it cannot.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QString sha256Of(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

} // namespace testdata
