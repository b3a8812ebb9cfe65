#!/usr/bin/env bash
# Instructions per camera frame in the steady state, ours beside libjpeg-turbo's two settings, on the
# disc test vector's picture and on the same picture in grey: callgrind counts a run of 1 frame and a
# run of 11; a tenth of the difference is one frame.
#   bash bench/count_decoder_instructions.sh [BUILD_DIR] [TESTDATA_DIR]
# Ours runs the widest vector path the processor has; TREVASK_DECODER_PATH=scalar|sse2|avx2 counts another.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
testdata="${2:-../shared/testdata}"
tool="$build/bench/trevask-decode-frames"
[ -x "$tool" ] || { echo "build $tool first (cmake --build $build --target trevask-decode-frames)" >&2; exit 2; }
command -v valgrind >/dev/null || { echo "valgrind is needed: apt-get install valgrind" >&2; exit 2; }
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$tool" "$1" "$2" "$3" "$testdata" 2>&1 |
    awk '/Collected/ {gsub(",", "", $4); print $4}'
}
printf '%-8s %-6s %s\n' decoder picture "instructions per frame"
for decoder in ours islow fast; do
  for picture in disc grey; do
    one=$(count "$decoder" "$picture" 1)
    eleven=$(count "$decoder" "$picture" 11)
    printf '%-8s %-6s %d\n' "$decoder" "$picture" $(((eleven - one) / 10))
  done
done
