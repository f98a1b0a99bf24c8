#!/usr/bin/env bash
# Sets everything up, builds the updater, its tools and tests, and runs the
# whole suite through CTest.
#   scripts/run-tests.sh                      plain build in build/
#   scripts/run-tests.sh address,undefined    ASan+UBSan build in build-asan/
#   scripts/run-tests.sh thread               TSan build in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

dir=$(bash scripts/configure.sh "${1:-}")
cmake --build "$dir" -j"$(nproc)"

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Debian's Qt is not instrumented; this keeps races in our own code reported.
export TSAN_OPTIONS="ignore_noninstrumented_modules=1:halt_on_error=1:second_deadlock_stack=1"
ctest --test-dir "$dir" --output-on-failure
