#!/usr/bin/env bash
# Installs what the Windows builds and their tests need on a Debian 12 machine: the mingw-w64 cross
# compilers (posix thread model) and wine, 64- and 32-bit, with wine's interface descriptions
# (oaidl.idl), from which the control's type library is compiled, a virtual display for the
# relay's dialog, and msitools with wixl, which build the installers and read them back (quietly,
# idempotently).
set -euo pipefail
packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools wine wine64 wine32:i386 libwine-dev xvfb
  msitools wixl)
bash "$(dirname "$0")/install-packages.sh" "${packages[@]}"
