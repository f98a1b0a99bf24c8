#pragma once

// What kvt-flash does with its command line: list the ports, or load the
// image and update every port given, showing it the way the output options
// and the terminal ask for. Returns the process exit status.

#include <QStringList>

namespace flash {

// Needs a QCoreApplication; runs its event loop while ports are updated.
int runCommandLine(const QStringList &arguments);

} // namespace flash
