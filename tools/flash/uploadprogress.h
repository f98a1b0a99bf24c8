#pragma once

#include "ymodem/upload.h"

#include <QtGlobal>

namespace flash {

// How far one upload is: the one value that kvt-flash's lines and events and
// the station's lines and tiles all read. PortFlasher publishes it.
struct UploadProgress
{
    ymodem::UploadPhase phase = ymodem::UploadPhase::NotStarted;
    qint64 sent = 0;         // image bytes whose blocks were written to the port
    qint64 acknowledged = 0; // image bytes the device acknowledged
    qint64 total = 0;        // the image's size
    qint64 elapsedMs = 0;    // since the upload started
    qint64 dataStartMs = -1; // when the data blocks began; -1 before
    qint64 phaseStartMs = 0; // when the upload entered its phase, or began to wait for boot
    // The image is in; the new firmware's first line is awaited.
    bool awaitingBoot = false;

    // Percent of the image acknowledged, computed like the window's bar, but
    // never 100 before the device has taken the last block.
    int percent() const;
    // Bytes acknowledged a second over the data blocks alone (the device's
    // seconds-long restart would drag it down); 0 until some time passed.
    double bytesPerSecond() const;
    // -1 while the speed is unknown.
    qint64 msLeft() const;
};

} // namespace flash
