#pragma once

// What kvt-flash's two modes, updating given ports and watching for boards,
// share: the terminal, interruption by signals, the image check in the
// flasher's words, and the upload options from the command line.

#include "firmwareimage.h"
#include "kvt-flash/commandline.h"
#include "ymodem/upload.h"

namespace flash {

// The terminal's width, or 80 when standard output is none.
int terminalColumns();
// The terminal's height, or 0 when standard output is none.
int terminalRows();
// Standard output is a terminal that can redraw lines in place.
bool liveTerminal();

// Why the file is no image, in the flasher's words; empty for a valid one.
QString imageProblemText(const QString &path, const firmware::FirmwareImage &image);

} // namespace flash
