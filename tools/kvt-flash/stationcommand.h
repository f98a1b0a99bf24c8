#pragma once

// kvt-flash --watch: the production station on the command line.

#include "kvt-flash/commandline.h"
#include "station/station.h"

#include <QTextStream>

namespace flash {

// What the station engine runs with, from the command line.
station::StationConfig stationConfig(const CommandLine &command);

// Needs a QCoreApplication; runs its event loop until SIGINT or SIGTERM.
int runStation(const CommandLine &command, QTextStream &out, QTextStream &err);

} // namespace flash
