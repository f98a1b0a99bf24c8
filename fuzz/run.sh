#!/usr/bin/env bash
# Builds the upload fuzz target with clang and runs it for a bounded time.
#
#   fuzz/run.sh [SECONDS]      default 60, or FUZZ_SECONDS
#
# FUZZ_BUILD_DIR (default build-fuzz at the top of the tree) holds the build,
# the growing corpus (corpus/) and any crash input (artifacts/). Extra libFuzzer
# flags go in FUZZ_ARGS, e.g. FUZZ_ARGS="-jobs=2 -workers=2". The committed
# seeds in fuzz/corpus/ are read, never written. Exits non-zero when a check
# breaks; the crash input is then in artifacts/ and can be replayed with
#   build-fuzz/fuzz_upload artifacts/crash-...
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
seconds="${1:-${FUZZ_SECONDS:-60}}"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"

CC="${CC:-clang}" CXX="${CXX:-clang++}" cmake -S "$here" -B "$build" >/dev/null
cmake --build "$build" -j2 --target fuzz_upload

mkdir -p "$build/corpus" "$build/artifacts"
log="$build/fuzz.log"
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
echo "fuzz: running fuzz_upload for ${seconds}s (log: $log)"
status=0
# shellcheck disable=SC2086 # FUZZ_ARGS is split on purpose
"$build/fuzz_upload" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/" ${FUZZ_ARGS:-} \
    "$build/corpus" "$here/corpus" >"$log" 2>&1 || status=$?

tail -n 25 "$log"
runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
if ((status != 0)); then
    echo "fuzz: FAILED after ${runs:-?} executions (exit $status); input in $build/artifacts/" >&2
    exit "$status"
fi
echo "fuzz: ${runs:-?} executions ran clean in ${seconds}s; the corpus grows in $build/corpus"
