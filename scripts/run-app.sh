#!/usr/bin/env bash
# Sets everything up, builds the updater and starts its window.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKVT_BUILD_TESTS=OFF -DKVT_BUILD_BENCH=OFF
cmake --build build -j"$(nproc)" --target kvt-firmware-updater
exec build/tools/kvt-firmware-updater/kvt-firmware-updater "$@"
