#!/usr/bin/env bash
# Installs what the arm64 build and its tests need on a Debian 12 machine: the cross compiler, the
# :arm64 libraries the programs link and load (the C and C++ runtimes among them, so that the loader
# and the libraries come from one build), and qemu's user-mode emulator (quietly, idempotently).
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
packages=(crossbuild-essential-arm64 qemu-user-static libc6:arm64 libstdc++6:arm64 libjpeg62-turbo-dev:arm64
  libmosquitto-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 nlohmann-json3-dev dpkg-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  dpkg --print-foreign-architectures | grep -qx arm64 || $SUDO dpkg --add-architecture arm64
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
