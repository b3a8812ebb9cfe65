#!/usr/bin/env bash
# The way through the rings on this machine and under wine, from one program built for each, in one
# table: a robot's reading to a client's C handler, a client's put to the robot, and the system's own
# floor for one hop. Fails when a reading was lost or a median shows a tick's pace in two runs of a
# system in a row (one run may meet a machine busy with something else).
#   tests/windows/ring_bench.sh NATIVE_BUILD WINDOWS_BUILD...
set -uo pipefail
native="$1"
shift
out="$(mktemp)"
why="$(mktemp)"
trap 'rm -f "$out" "$why"' EXIT
failed=0

# run LABEL COMMAND...: the bench's rows go to the table; the relay's log lines are dropped.
run() {
  local label="$1" rows
  shift
  for attempt in 1 2; do
    if rows="$("$@" --label "$label" 2>"$why")"; then
      grep '^|' <<<"$rows" | tr -d '\r' >>"$out"
      return 0
    fi
    echo "$label, run $attempt: $(grep '^trevask-ring-bench:' "$why" | tr -d '\r' | tr '\n' ' ')" >&2
  done
  grep '^|' <<<"$rows" | tr -d '\r' >>"$out"
  failed=1
}

run "Linux" "$native/bench/trevask-ring-bench" "$native/relay/app/trevask"
for dir in "$@"; do
  bits=$(grep -q 'mingw-w64-x86_64' "$dir/CMakeCache.txt" && echo 64 || echo 32)
  export WINEPREFIX="$PWD/$dir/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
  relay="$(winepath -w "$dir/relay/app/trevask.exe" 2>/dev/null)"
  run "Windows $bits-bit (wine)" timeout 300 wine "$dir/control/trevask-ring-bench.exe" "$relay"
  wineserver -k 2>/dev/null || true
done
echo "| measurement | p50 / p99 |"
echo "|---|---|"
cat "$out"
exit "$failed"
