#!/usr/bin/env bash
# Sets up, builds (warnings as errors) and runs every test.
#   scripts/test.sh                 normal build in build/
#   scripts/test.sh address         AddressSanitizer + UndefinedBehaviorSanitizer build in build-address/
#   scripts/test.sh thread          ThreadSanitizer build in build-thread/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
sanitize="${1:-}"
dir="build${sanitize:+-$sanitize}"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTREVASK_WERROR=ON -DTREVASK_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j "$(nproc)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$dir" && ctest --output-on-failure -j "$(nproc)" --timeout 300
