#!/usr/bin/env bash
# Configures a build folder the one way the other scripts build in, so that
# starting the window and running the tests never undo each other's build.
#   scripts/configure.sh                      build/ (RelWithDebInfo)
#   scripts/configure.sh address,undefined    build-asan/ (Debug, ASan+UBSan)
#   scripts/configure.sh thread               build-tsan/ (Debug, TSan)
# Prints the folder.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize="${1:-}"
case "$sanitize" in
"") dir=build; type=RelWithDebInfo ;;
address,undefined) dir=build-asan; type=Debug ;;
thread) dir=build-tsan; type=Debug ;;
*) echo "configure: unknown sanitizer set '$sanitize'" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DKVT_WERROR=ON -DKVT_SANITIZE="$sanitize" >&2
echo "$dir"
