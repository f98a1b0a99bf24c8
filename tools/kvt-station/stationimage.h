#pragma once

// The image the station's window flashes: checked as the updater window
// checks a file, with its messages, and remembered with what the file looked
// like on disk when it was read, so a file rebuilt or replaced afterwards is
// noticed (the boards still get the bytes that were read).

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace station {

struct StationImage
{
    QString path;
    QByteArray data;
    QString sha256; // hex
    QDateTime modified;
    qint64 fileSize = 0;

    bool isLoaded() const { return !data.isEmpty(); }
    // The file on disk is no longer the one read: rewritten, replaced or gone.
    bool changedOnDisk() const;
    // "app.kvt · 192.0 KiB (196608 bytes) · sha256 1a2b3c4d5e6f"
    QString summary() const;
};

// Loads and checks `path`; false with the updater window's message (such as
// "Not a valid file") when it is no image.
bool loadStationImage(const QString &path, StationImage *image, QString *message);

} // namespace station
