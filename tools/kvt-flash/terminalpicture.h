#pragma once

// kvt-flash's picture on a terminal: the header lines always on top, then one
// line per slot, failed and flashing boards first, as many as the terminal
// has rows for, and "+N more" for the rest. A failed board's next step has a
// line of its own and is never cut: the message before it is. The state word
// is coloured where the terminal has colour.

#include "station/station.h"

#include <QStringList>

namespace flash {

struct ScreenSize
{
    int columns = 80;
    int rows = 0; // 0: as many as there are slots
    bool colour = false;
};

QStringList terminalPicture(const station::Station &station, const QStringList &header,
                            ScreenSize size);

// Standard output is a terminal that can redraw lines in place; with colour
// when NO_COLOR is unset.
bool liveTerminal();
bool colourTerminal();
ScreenSize terminalSize();

} // namespace flash
