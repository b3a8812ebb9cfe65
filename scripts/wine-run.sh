#!/usr/bin/env bash
# Runs a Windows program under wine in the build's own prefix (made on first use), quietly: the
# tests and the build use this as their emulator.
set -euo pipefail
export WINEPREFIX="${WINEPREFIX:-${TREVASK_WINEPREFIX:-$HOME/.wine-trevask}}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
