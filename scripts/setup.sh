#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine (quietly, idempotently), and makes
# the Python package `talvenor` importable by the machine's python3 without any path setting.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
packages=(cmake ninja-build g++ clang libgtest-dev libgmock-dev python3 pkg-config libjpeg62-turbo-dev
  qt6-base-dev libgl-dev libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A .pth file in each python3's site-packages puts bindings/python on its path.
for py in python3 /usr/bin/python3; do
  command -v "$py" >/dev/null 2>&1 || continue
  site="$("$py" -c 'import site; print(site.getsitepackages()[0])' 2>/dev/null)" || continue
  if mkdir -p "$site" 2>/dev/null && [ -w "$site" ]; then
    echo "$root/bindings/python" >"$site/talvenor-source.pth"
  fi
done
