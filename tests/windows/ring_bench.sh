#!/usr/bin/env bash
# The way through the rings on this machine and under wine, from one program built for each, in one
# table: a robot's reading to a client's C handler, a client's put to the robot, and the system's own
# floor for one hop. Fails when a reading was lost or a median shows a tick's pace.
#   tests/windows/ring_bench.sh NATIVE_BUILD WINDOWS_BUILD...
set -euo pipefail
native="$1"
shift
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
"$native/bench/trevask-ring-bench" "$native/relay/app/trevask" --label "Linux" >>"$out" 2>/dev/null
for dir in "$@"; do
  bits=$(grep -q 'mingw-w64-x86_64' "$dir/CMakeCache.txt" && echo 64 || echo 32)
  export WINEPREFIX="$PWD/$dir/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
  relay="$(winepath -w "$dir/relay/app/trevask.exe" 2>/dev/null)"
  timeout 300 wine "$dir/control/trevask-ring-bench.exe" "$relay" --label "Windows $bits-bit (wine)" >>"$out" 2>/dev/null
  wineserver -k 2>/dev/null || true
done
echo "| measurement | p50 / p99 |"
echo "|---|---|"
tr -d '\r' <"$out" | grep '^|'
