#!/usr/bin/env bash
# Installs those of the named Debian packages that are not installed yet (quietly); a name with an
# architecture (libc6:arm64) has that architecture added first. The setup scripts use it.
#   install-packages.sh [--no-install-recommends] PACKAGE...
set -euo pipefail
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
$SUDO apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
