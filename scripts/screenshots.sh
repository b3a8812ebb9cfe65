#!/usr/bin/env bash
# Renders the relay's dialog, its about box and the dashboard (live, against a simulated robot) under
# Xvfb into docs/images/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
command -v xvfb-run >/dev/null || { apt-get install -y -qq --no-install-recommends xvfb xauth >/dev/null; }
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target trevask-screenshots >/dev/null
mkdir -p docs/images
xvfb-run -a build/tools/screenshots/trevask-screenshots docs/images
