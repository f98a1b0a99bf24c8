#pragma once

// The station's figures in the words every view shows them in.

#include "station/station.h"

#include <QString>

namespace programs {

// "ok 12 · failed 1 · stopped 2 · yield 92.3 % · 140 boards/h"
QString countsText(const station::StationCounts &counts);

} // namespace programs
