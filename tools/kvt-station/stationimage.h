#pragma once

// The image the station's window flashes, checked as the updater window
// checks a file. The boards get the bytes read here even when the file is
// rebuilt afterwards (station::ImageWatch tells the operator).

#include <QByteArray>
#include <QString>

namespace station {

struct StationImage
{
    QString path;
    QByteArray data;
    QString sha256; // hex

    bool isLoaded() const { return !data.isEmpty(); }
    // "app.kvt · 192.0 KiB (196608 bytes) · sha256 1a2b3c4d5e6f"
    QString summary() const;
};

// Loads and checks `path`; false with "PATH: why" when it is no image.
bool loadStationImage(const QString &path, StationImage *image, QString *message);

} // namespace station
