#!/usr/bin/env bash
# The system's own registration tool on the control's module, as an installer runs it:
# regsvr32 registers it (the class's InprocServer32 names the module, in the registry view of its
# bit width and not the other's), regsvr32 /u removes it. With --scripts, through the zip's
# register.cmd and unregister.cmd (MODULE is then the unpacked zip's bin/talvenorctl.dll).
#   regsvr32_check.sh MODULE BITS [--scripts]       (WINEPREFIX set; BITS 64 or 32)
set -euo pipefail
module="$(realpath "$1")"
bits="$2"
export WINEDEBUG=-all
# Debian's wine runs the system's tools as 32-bit programs; the 64-bit module needs the 64-bit loader.
if [ "$bits" = 64 ]; then wine=(/usr/lib/wine/wine64); other=32; else wine=(wine); other=64; fi
path="Z:$(echo "$module" | tr / '\\')"  # a Unix path would be read as a switch
key='HKCR\CLSID\{C3F1E5A4-1541-4456-9AB0-8BD4CE11A513}\InprocServer32'
fail() { echo "regsvr32_check: $*"; exit 1; }

register=("${wine[@]}" regsvr32 /s "$path")
unregister=("${wine[@]}" regsvr32 /u /s "$path")
if [ "${3:-}" = --scripts ]; then
  top="Z:$(dirname "$(dirname "$module")" | tr / '\\')"
  register=("${wine[@]}" cmd /c "$top\\register.cmd" /s)
  unregister=("${wine[@]}" cmd /c "$top\\unregister.cmd" /s)
fi
"${register[@]}" || fail "registering failed"
"${wine[@]}" reg query "$key" "/reg:$bits" | grep -qiF "$path" || fail "InprocServer32 does not name $path"
"${wine[@]}" reg query 'HKCR\ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1\CLSID' "/reg:$bits" >/dev/null ||
  fail "no ProgID"
"${wine[@]}" reg query 'HKCR\ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl\CurVer' "/reg:$bits" |
  grep -qF 'ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1' || fail "no version-independent ProgID naming the current"
! "${wine[@]}" reg query "$key" "/reg:$other" >/dev/null 2>&1 || fail "registered in the $other-bit view too"
"${unregister[@]}" || fail "unregistering failed"
! "${wine[@]}" reg query "$key" "/reg:$bits" >/dev/null 2>&1 || fail "the class is left after regsvr32 /u"
! "${wine[@]}" reg query 'HKCR\ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl' "/reg:$bits" >/dev/null 2>&1 ||
  fail "the version-independent ProgID is left after regsvr32 /u"
echo "registered and unregistered the $bits-bit module ${3:-}"
