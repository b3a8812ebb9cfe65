#!/usr/bin/env bash
# Installs those of the named Debian packages that are not installed yet (quietly); a name with an
# architecture (libc6:arm64) has that architecture added first. The setup scripts use it.
#   install-packages.sh [--no-install-recommends] PACKAGE...
#
# With a foreign architecture, a Multi-Arch "same" library (libssl3, zlib1g) must have one version on
# every architecture it is installed for, and a foreign architecture's package lists can lag the
# native security updates. multiarch_pins.py then pins the libraries the install needs to a version
# every architecture offers, in the apt preferences file below, and says so.
set -euo pipefail
pins=/etc/apt/preferences.d/trevask-multiarch
options=()
if [ "${1:-}" = --no-install-recommends ]; then
  options+=("$1")
  shift
fi
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
for p in "${missing[@]}"; do
  if [[ "$p" == *:* ]]; then
    dpkg --print-foreign-architectures | grep -qx "${p#*:}" || $SUDO dpkg --add-architecture "${p#*:}"
  fi
done
# A mirror caught mid-sync fails one list: the install tries with the lists there are.
$SUDO apt-get update -qq || echo "install-packages: not every package list was updated; installing from those there are"
if [ -n "$(dpkg --print-foreign-architectures)" ]; then
  command -v python3 >/dev/null || $SUDO apt-get install -y -qq python3 >/dev/null
  $SUDO python3 "$(dirname "$0")/multiarch_pins.py" --preferences "$pins" "${options[@]}" "${missing[@]}"
fi
# The pins may take a native library back to the version the foreign lists carry.
[ ! -f "$pins" ] || options+=(--allow-downgrades)
$SUDO apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
