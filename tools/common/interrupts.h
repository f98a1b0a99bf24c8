#pragma once

// Signals that end a program, brought into its event loop.

#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace programs {

// SIGINT, SIGTERM and SIGHUP (the terminal closed) reach `onFirst` from the
// event loop, so every device is told and every port closed and reported
// before the process ends; a second signal reaches `onSecond`, for ending at
// once.
std::unique_ptr<QSocketNotifier> watchInterrupts(std::function<void()> onFirst,
                                                 std::function<void()> onSecond);

} // namespace programs
