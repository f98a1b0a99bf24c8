#pragma once

// What kvt-flash's two modes, updating given ports and watching for boards,
// share: the terminal, interruption by signals, the image check in the
// flasher's words, and the upload options from the command line.

#include "firmwareimage.h"
#include "flash/commandline.h"
#include "ymodem/upload.h"

#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace flash {

// The terminal's width, or 80 when standard output is none.
int terminalColumns();
// Standard output is a terminal that can redraw lines in place.
bool liveTerminal();

// SIGINT, SIGTERM and SIGHUP (the terminal closed) reach `onFirst` from the
// event loop, so every device is told and every port closed and reported
// before the process ends; a second signal reaches `onSecond`, for ending at
// once.
std::unique_ptr<QSocketNotifier> watchInterrupts(std::function<void()> onFirst,
                                                 std::function<void()> onSecond);

// Why the file is no image, in the flasher's words; empty for a valid one.
QString imageProblemText(const QString &path, const firmware::FirmwareImage &image);

ymodem::UploadOptions uploadOptions(const CommandLine &command);

} // namespace flash
