#!/usr/bin/env bash
# Sets everything up, builds the updater and starts its window. Builds in
# build/ as the test command does, only the window: the two never undo each
# other's build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir=$(bash scripts/configure.sh)
cmake --build "$dir" -j"$(nproc)" --target kvt-firmware-updater
exec "$dir/tools/kvt-firmware-updater/kvt-firmware-updater" "$@"
