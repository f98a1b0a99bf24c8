#pragma once

// What makes a file a firmware image, for the window and the flasher alike:
// a regular file that can be read whole, no larger than can be held in
// memory, starting with the image signature. Each program words the
// problems in its own voice.

#include <QByteArray>
#include <QString>

class QFile;

namespace firmware {

// The largest image that is loaded into memory: 1 GiB.
constexpr qint64 MaxImageSize = qint64(1) << 30;
constexpr int SignatureSize = 4;

struct FirmwareImage
{
    enum class Problem
    {
        None,
        Missing,      // no such file
        NotRegular,   // a directory, pipe or device node
        CannotOpen,   // permission denied and the like; detail holds the system's text
        ReadFailed,   // fewer bytes read than the file holds
        TooLarge,     // detail holds the size
        TooShort,     // shorter than the signature
        BadSignature, // detail holds the first four bytes in hex, "12 34 56 78"
    };

    Problem problem = Problem::None;
    QByteArray data; // what was read; kept for TooShort and BadSignature
    qint64 fileSize = 0;
    QString detail;

    bool isValid() const { return problem == Problem::None; }
    // Opened and read, but not an image.
    bool wasRead() const
    {
        return problem == Problem::TooShort || problem == Problem::BadSignature;
    }
};

// True when the data starts with the image signature 00 40 00 20.
bool hasImageSignature(const QByteArray &data);
// "00 40 00 20"
QString signatureText();

// Loads through `file` (not yet open; it is left open after a successful
// open, for callers that keep it).
FirmwareImage loadFirmwareImage(QFile &file, qint64 maxSize = MaxImageSize);
FirmwareImage loadFirmwareImage(const QString &path, qint64 maxSize = MaxImageSize);

} // namespace firmware
