#!/usr/bin/env bash
# Draws docs/station.png, the picture of kvt-station's window in the README:
# the real window and engine with simulated boards on pseudo-terminals (one
# flashing, one ok, one failed, one taken out), on a 1920x1080 Xvfb screen.
# Usage: scripts/station-screenshots.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
command -v xvfb-run >/dev/null || { echo "needs xvfb-run: apt-get install xvfb" >&2; exit 1; }
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j"$(nproc)" --target kvt-station-screenshots
mkdir -p docs
xvfb-run -a -s "-screen 0 1920x1080x24" "$build/tools/kvt-station/kvt-station-screenshots" docs
