#pragma once

// kvt-flash --watch: the production station on the command line.

#include "flash/commandline.h"

#include <QTextStream>

namespace flash {

// Needs a QCoreApplication; runs its event loop until SIGINT or SIGTERM.
int runStation(const CommandLine &command, QTextStream &out, QTextStream &err);

} // namespace flash
