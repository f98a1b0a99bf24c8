#pragma once

// How every program writes sizes, speeds and durations: one format each.

#include "firmwareimage.h"

#include <QString>

namespace programs {

// "850 ms", "12.4 s", "2 min 05 s"; "-" for a negative value (unknown).
QString durationText(qint64 ms);
// "12.3 KiB/s"; empty for no speed.
QString speedText(double bytesPerSecond);
// "310.0 KiB"
QString kibText(qint64 bytes);

// What the operator reads when the image file on disk no longer holds the
// bytes the station loaded (`diskSha256` empty: the file is gone); empty when
// it holds them again.
QString imageChangedText(const QString &file, const QString &loadedSha256,
                         const QString &diskSha256);

// Why the file at `path` is no image, in words that name the cause ("no such
// file", "not a firmware image: starts with 12 34 56 78, not 00 40 00 20");
// empty for a valid one.
QString imageProblemText(const QString &path, const firmware::FirmwareImage &image);

} // namespace programs
