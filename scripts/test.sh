#!/usr/bin/env bash
# Sets up, builds (warnings as errors) and runs every test, each build as its preset in
# CMakePresets.json has it (cmake --preset NAME, cmake --build --preset NAME, ctest --preset NAME).
#   scripts/test.sh                 normal build in build/
#   scripts/test.sh address         AddressSanitizer + UndefinedBehaviorSanitizer build in build-address/
#   scripts/test.sh thread          ThreadSanitizer build in build-thread/
#   scripts/test.sh windows         Windows builds (x86_64 in build-win64/, i686 in build-win32/),
#                                   cross-built with mingw-w64, their tests run under wine, and
#                                   their zips and installers
#   scripts/test.sh arm64           arm64 build in build-arm64/, cross-built, its tests run under qemu
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
sanitize="${1:-}"
if [ "$sanitize" = windows ]; then
  bash scripts/setup-windows.sh
  # The simulated robot stays a program of this machine: the Windows relay talks to it from wine,
  # and this machine's relay and control decode the reference photo.
  cmake --preset default >/dev/null
  cmake --build --preset default --target robot-sim trevask abi_client trevask-ring-bench
  for flavour in win64:x86_64 win32:i686; do
    preset="${flavour%%:*}" arch="${flavour##*:}"
    dir="build-$preset" bits="${preset#win}"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    ctest --preset "$preset" -j "$(nproc)"
    echo "== $dir: trevask.exe and talvenorctl.dll under wine with robot-sim, over UDP and a pseudo-terminal as COM9"
    python3 tests/windows/end_to_end.py "$dir" build
    echo "== $dir: the zip, unpacked, runs by itself"
    bash tests/packaging/zip_check.sh "$dir" "$arch"
    echo "== $dir: the installer: upgrade, creation by ProgID, reinstall, rows against regsvr32's, repair, uninstall"
    cmake --build --preset "$preset" --target msi
    bash tests/packaging/msi_check.sh "$dir" "$bits"
    echo "== $dir: the installer over a running relay, and uninstalling while a script holds the control"
    bash tests/packaging/msi_in_use.sh "$dir" "$bits"
  done
  echo "== the two installers side by side"
  bash tests/packaging/msi_side_by_side.sh build-win64 build-win32
  echo "== the way through the rings, on this machine and under wine"
  bash tests/windows/ring_bench.sh build build-win64 build-win32
  exit 0
fi
if [ "$sanitize" = arm64 ]; then
  bash scripts/setup-arm64.sh
  # Everything that needs no display. Under the emulator the programs run several times slower than
  # on this machine, so the tests' timings are compressed less (the preset's time scale is 0.2, not 0.05).
  cmake --preset arm64 >/dev/null
  cmake --build --preset arm64 -j "$(nproc)"
  ctest --preset arm64 -j "$(nproc)"
  echo "== arm64 Debian packages"
  bash tests/packaging/check_packages.sh build-arm64 arm64
  exit 0
fi
case "$sanitize" in
  "" | address | thread) preset="${sanitize:-default}" ;;
  *) echo "usage: scripts/test.sh [address|thread|windows|arm64]" >&2; exit 2 ;;
esac
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-suppressions=$PWD/tests/thread_sanitizer.supp}"
ctest --preset "$preset" -j "$(nproc)"
