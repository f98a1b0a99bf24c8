#pragma once

// What makes a file a firmware image, for the window and the flasher alike:
// a regular file that can be read, no larger than can be held in memory,
// starting with the image signature.

#include <QByteArray>
#include <QString>

namespace firmware {

// The largest image that is loaded into memory: 1 GiB.
constexpr qint64 MaxImageSize = qint64(1) << 30;

struct FirmwareImage
{
    enum class Problem
    {
        None,
        CannotOpen, // missing, unreadable, or a pipe or device node
        TooLarge,
        NotValid, // shorter than the signature or without it
    };

    Problem problem = Problem::None;
    QByteArray data;
    QString message; // what the user is told; empty when the image is fine

    bool isValid() const { return problem == Problem::None; }
};

// True when the data starts with the image signature 00 40 00 20.
bool hasImageSignature(const QByteArray &data);

FirmwareImage loadFirmwareImage(const QString &path, qint64 maxSize = MaxImageSize);

} // namespace firmware
