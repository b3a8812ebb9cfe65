#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time from its seed corpus.
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET]      (default 30)
# A crash leaves its input in build-fuzz/findings/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
seconds="${1:-30}"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DTREVASK_FUZZ=ON -DTREVASK_TESTS=OFF >/dev/null
targets=(fuzz_frames fuzz_jpeg fuzz_files fuzz_commands fuzz_dispatch fuzz_sound_request fuzz_bridge_call fuzz_recording)
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"
mkdir -p build-fuzz/findings
status=0
for t in "${targets[@]}"; do
  work="build-fuzz/corpus/$t"
  mkdir -p "$work"
  cp -n fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
  dict=()
  [ "$t" = fuzz_frames ] && dict=(-dict=fuzz/frames.dict)
  [ "$t" = fuzz_bridge_call ] && dict=(-dict=fuzz/calls.dict)
  echo "== $t for ${seconds}s"
  if ! build-fuzz/fuzz/"$t" "${dict[@]}" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -artifact_prefix=build-fuzz/findings/"$t"- "$work" >build-fuzz/"$t".log 2>&1; then
    status=1
    tail -n 30 build-fuzz/"$t".log
  fi
  grep -E "^Done" build-fuzz/"$t".log || true
done
exit $status
