#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine (quietly, idempotently). Nothing is
# written into any Python installation: the tests and the demo find the package by PYTHONPATH, and
# `pip install bindings/python` installs it where a user wants it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
packages=(cmake ninja-build g++ clang libgtest-dev libgmock-dev python3 pkg-config libjpeg62-turbo-dev
  qt6-base-dev libgl-dev libclang-rt-14-dev python3-venv clang-format mosquitto libmosquitto-dev
  nlohmann-json3-dev chromium tshark dpkg-dev man-db systemd mypy python3-numpy cyclonedds-dev cyclonedds-tools)
# Node.js and npm build the web dashboard; Debian's are used when the machine has none of its own.
command -v npm >/dev/null || packages+=(nodejs npm)
bash "$root/scripts/install-packages.sh" --no-install-recommends "${packages[@]}"

# The web dashboard's packages, as its lock file pins them (from the npm registry, once).
if command -v npm >/dev/null && [ ! -d "$root/clients/web/node_modules/playwright-core" ]; then
  (cd "$root/clients/web" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
