#!/usr/bin/env bash
# Both installers side by side under wine, in a fresh prefix of their own: the 64-bit one, then the
# 32-bit one; each width's control is created by its ProgID. Uninstalling the 64-bit one takes the
# ProgID and the type library's version entries, which both write, as `regsvr32 /u` of one module
# does, but leaves the 32-bit files, classes and interfaces (the 32-bit view's interfaces are one
# component of both installers); a repair of the 32-bit one makes its control whole again;
# uninstalling that too leaves none of the registration's keys.
#   msi_side_by_side.sh BUILD64 BUILD32      (the msi target built in both)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
version="$(head -n 1 "$here/../../VERSION")"
msi64="$(realpath "$1")/trevask-$version-win64.msi"
msi32="$(realpath "$2")/trevask-$version-win32.msi"
work="$(realpath "$1")/msi-side-by-side"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
wine64=/usr/lib/wine/wine64  # Debian's plain `wine` runs the system's tools as 32-bit programs
fail() { echo "msi_side_by_side: $*"; exit 1; }
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
create() {  # LOADER: creates the control by its ProgID from that width's script host
  rm -f "$work/created.txt"
  "$1" cscript //nologo "$(winpath "$here/msi_create.vbs")" "$(winpath "$work/created.txt")" >/dev/null 2>&1 || true
  tr -d '\r' <"$work/created.txt" 2>/dev/null || echo "no result from the script"
}
keys() {
  for view in 64 32; do
    for key in 'CLSID\{C3F1E5A4-1541-4456-9AB0-8BD4CE11A513}' 'CLSID\{5307B30C-C252-450A-9AC4-2187A2492C94}' \
      'ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1' 'TypeLib\{98FCFC5C-1F70-4640-8B7B-A53A1B88AA8A}' \
      'Interface\{4344A992-02A4-406C-8466-7CFF8C489813}' 'Interface\{9C1124A3-2E3D-4CDA-A9F3-33B92BB5491D}'; do
      "$wine64" reg query "HKCR\\$key" /s "/reg:$view" 2>/dev/null | tr -d '\r' || true
    done
  done
}

test -f "$msi64" -a -f "$msi32" || fail "build the msi target in both build folders first"
rm -rf "$work"
mkdir -p "$work"
wineboot -i >/dev/null 2>&1
"$wine64" msiexec /i "$(winpath "$msi64")" /qn || fail "installing the 64-bit MSI failed"
wine msiexec /i "$(winpath "$msi32")" /qn || fail "installing the 32-bit MSI beside it failed"
[[ "$(create "$wine64")" == created* ]] || fail "64-bit creation beside the 32-bit install: $(create "$wine64")"
[[ "$(create wine)" == created* ]] || fail "32-bit creation beside the 64-bit install: $(create wine)"
"$wine64" msiexec /x "$(winpath "$msi64")" /qn || fail "uninstalling the 64-bit MSI failed"
[[ "$(create "$wine64")" == failed* ]] || fail "the 64-bit control after its uninstall: $(create "$wine64")"
"$wine64" reg query 'HKCR\Interface\{4344A992-02A4-406C-8466-7CFF8C489813}' /reg:32 >/dev/null 2>&1 ||
  fail "the 64-bit uninstall took the 32-bit view's interfaces"
"$wine64" reg query 'HKCR\CLSID\{C3F1E5A4-1541-4456-9AB0-8BD4CE11A513}\InprocServer32' /reg:32 >/dev/null 2>&1 ||
  fail "the 64-bit uninstall took the 32-bit class"
wine msiexec /i "$(winpath "$msi32")" REINSTALL=ALL REINSTALLMODE=amus /qn || fail "repairing the 32-bit MSI failed"
[[ "$(create wine)" == created* ]] || fail "the 32-bit control after its repair: $(create wine)"
wine msiexec /x "$(winpath "$msi32")" /qn || fail "uninstalling the 32-bit MSI failed"
! keys | grep -q HKEY_ || fail "keys are left: $(keys | grep HKEY_)"
echo "the 64- and 32-bit MSIs installed side by side, one uninstalled, the other repaired and uninstalled"
