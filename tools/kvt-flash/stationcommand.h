#pragma once

// kvt-flash's one way of flashing: the station engine over the ports given
// (--port), or over the folder it watches (--watch).

#include "kvt-flash/commandline.h"
#include "station/station.h"

#include <QTextStream>

namespace flash {

// What the station engine runs with, from the command line.
station::StationConfig stationConfig(const CommandLine &command);

// Needs a QCoreApplication; runs its event loop until every port given has
// ended, or a watching station is stopped (SIGINT, SIGTERM, SIGHUP).
int runStation(const CommandLine &command, QTextStream &out, QTextStream &err);

} // namespace flash
