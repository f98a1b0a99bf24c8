#pragma once

// The station's figures in the words every view shows them in.

#include "station/station.h"

#include <QHash>
#include <QString>
#include <QStringList>

namespace programs {

// "ok 12 · failed 1 · stopped 2 · yield 92.3 % · 140 boards/h"
QString countsText(const station::StationCounts &counts);

// Slot names shortened to the part that differs between them, cut at the
// separators ("-", ":", "_", "/"): the entries
// pci-0000:00:14.0-usb-0:1.4.12:1.0-port0 and …-usb-0:1.4.3:1.0-port0 are
// "1.4.12" and "1.4.3". A name alone, or one that nothing tells apart, stays
// whole.
QHash<QString, QString> shortNames(const QStringList &names);

} // namespace programs
