#!/usr/bin/env bash
# Installs what the arm64 build and its tests need on a Debian 12 machine: the cross compiler, the
# :arm64 libraries the programs link and load (the C and C++ runtimes among them, so that the loader
# and the libraries come from one build), and qemu's user-mode emulator (quietly, idempotently).
set -euo pipefail
packages=(crossbuild-essential-arm64 qemu-user-static libc6:arm64 libstdc++6:arm64 libjpeg62-turbo-dev:arm64
  libmosquitto-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 nlohmann-json3-dev dpkg-dev)
bash "$(dirname "$0")/install-packages.sh" --no-install-recommends "${packages[@]}"
