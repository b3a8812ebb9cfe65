#!/usr/bin/env bash
# The control's refusals as scripts see them, in the system's own script host (cscript): each
# VBScript and JScript call the control refuses is an error whose number and description name the
# cause, what it takes is none, and the relay state can be read but not written.
#   refusals_check.sh MODULE BITS        (WINEPREFIX set; BITS 64 or 32)
set -euo pipefail
module="$(realpath "$1")"
bits="$2"
here="$(dirname "$(realpath "$0")")"
export WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
# Debian's wine runs the system's tools as 32-bit programs; the 64-bit module needs the 64-bit loader.
if [ "$bits" = 64 ]; then wine=(/usr/lib/wine/wine64); else wine=(wine); fi
win() { echo "Z:$(echo "$1" | tr / '\\')"; }  # a Unix path would be read as a switch
work="$(mktemp -d)"
robot="ScriptRefusals$$"
fail() { echo "refusals_check: $*"; exit 1; }
cleanup() {
  "${wine[@]}" regsvr32 /u /s "$(win "$module")" || true
  rm -rf "$work"
}
trap cleanup EXIT

python3 - "$work" <<'PY'
import struct, sys
work = sys.argv[1]
open(work + "/not-a-sound.wav", "w").write("no sound here\n")
samples = struct.pack("<800h", *([1000, -1000] * 400))
open(work + "/tone.wav", "wb").write(b"RIFF" + struct.pack("<I", 36 + len(samples)) + b"WAVEfmt " +
                                     struct.pack("<IHHIIHH", 16, 1, 1, 8000, 16000, 2, 16) + b"data" +
                                     struct.pack("<I", len(samples)) + samples)
def bmp(width, height, bits, palette, pixels):
    offset = 54 + len(palette)
    return (b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(pixels), 2835, 2835, 0, 0) +
            palette + pixels)
open(work + "/photo.bmp", "wb").write(bmp(176, 144, 24, b"", bytes(176 * 144 * 3)))
open(work + "/mono.bmp", "wb").write(bmp(128, 64, 1, b"\0\0\0\0\xff\xff\xff\0", bytes(1024)))
PY

"${wine[@]}" regsvr32 /s "$(win "$module")" || fail "registering failed"
source=ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl
for script in refusals.vbs refusals.js; do
  out="$work/$script.txt"
  # cscript exits 0 after a script error too: the output file's last line tells that it ran through.
  "${wine[@]}" cscript //nologo "$(win "$here/$script")" "$(win "$out")" "$(win "$work")" "$robot" ||
    fail "$script: cscript failed"
  [ -f "$out" ] && [ "$(tail -n 1 "$out" | tr -d '\r')" = done ] || fail "$script did not run through: $(cat "$out" 2>/dev/null)"
  # label|number|what the description says (the VBScript lines name the source before it)
  expect=(
    "long name|80070057|connectRobot: a robot name holds at most 29 bytes"
    "no relay|80004005|connectRobot: no relay serves robot '$robot'"
    "missing sound|80004005|PlayAudioFile: $(win "$work")\\missing.wav"
    "unplayable sound|80004005|not-a-sound.wav"
    "sound|0|"
    "missing picture|80004005|LcdDisplayVCS: "
    "colour picture|80004005|LcdDisplayVCB: Image Size is not correct. Only Mono image can be supported. The picture was sent"
    "picture|0|"
  )
  [ "$script" = refusals.vbs ] && expect+=("relay state written|1B6|")
  for e in "${expect[@]}"; do
    IFS='|' read -r label number cause <<<"$e"
    line="$(tr -d '\r' <"$out" | grep "^$label: " | head -n 1)"
    case "$line" in
      "$label: $number "*) ;;
      *) fail "$script: '$label' should be error $number: $line" ;;
    esac
    [ -z "$cause" ] || [[ "$line" == *"$cause"* ]] || fail "$script: '$label' does not say '$cause': $line"
    if [ "$script" = refusals.vbs ] && [ "$number" != 0 ] && [ "$number" != 1B6 ]; then
      [[ "$line" == *" $source: "* ]] || fail "$script: '$label' does not name its source: $line"
    fi
  done
  grep -qx 'relay state: 0' <(tr -d '\r' <"$out") || fail "$script: the relay state: $(cat "$out")"
  echo "$script: $(grep -c ': 8' "$out") refusals with their causes; the relay state read"
done
echo "the $bits-bit control's refusals reach VBScript and JScript"
