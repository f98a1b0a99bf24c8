#pragma once

// kvt-flash --watch's picture on a terminal: the header lines always on top,
// then one line per slot, failed and flashing boards first, as many as the
// terminal has rows for, and "+N more" for the rest. Slots are named by the
// part of their entry names that differs (a hub port such as 1.4.12), never
// by a cut that hides it.

#include "station/station.h"

#include <QStringList>

namespace station {

struct ScreenSize
{
    int columns = 80;
    int rows = 0; // 0: as many as there are slots
};

QStringList stationScreen(const Station &station, const QStringList &header, ScreenSize size);

} // namespace station
