#!/usr/bin/env bash
# Builds and runs trevask-bench (every row, or those named: jpeg receive latency cpu fleet mqtt
# mqtt-fleet), with its anchors installed first: libjpeg-turbo for the decoder, a mosquitto broker
# for the bridge, and a DDS implementation's performance tool for the latency rows.
#   bash scripts/bench.sh [ROW...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
bash scripts/install-packages.sh --no-install-recommends cyclonedds-tools
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target trevask-bench trevask robot-sim talvenorctl
build/bench/trevask-bench "$@"
