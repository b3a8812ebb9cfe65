#!/usr/bin/env bash
# The Windows zip, unpacked, by itself: the files it promises; its README's links, each resolving
# inside the zip; the C++ example built with the mingw compiler against the zip's include\ and lib\
# alone; the relay's --help naming no Linux path, signal or option; the recorded session replayed
# by the zip's relay under wine, with the section watcher and the example reading it and the
# example's commands reaching the replay; and the control registered and unregistered by the zip's
# scripts.
#   tests/packaging/zip_check.sh BUILD_DIR x86_64|i686      (after the build; makes the zip with cpack)
set -euo pipefail
dir="$(cd "$1" && pwd)"
arch="$2"
here="$(cd "$(dirname "$0")" && pwd)"
bits=32
[ "$arch" = x86_64 ] && bits=64
export WINEPREFIX="${WINEPREFIX:-$dir/wine-prefix}" WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
fail() {
  echo "zip check ($arch): $*" >&2
  exit 1
}
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }  # a Unix path would be read as a switch
work="$(mktemp -d)"
replay=""
finish() {
  [ -n "$replay" ] && kill "$replay" 2>/dev/null && wait "$replay" 2>/dev/null
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
# One wine server for the whole check: one that ends by itself when a program has ended can go just
# as the next program connects to it ("recvmsg: Connection reset by peer").
wineserver -p 2>/dev/null || true

cd "$dir"
cmake --build . >/dev/null  # cpack packs what the folder holds, generated files included
rm -f trevask-*.zip
cpack >/dev/null
rm -rf unpacked && mkdir unpacked
(cd unpacked && python3 -m zipfile -e ../trevask-*.zip .)
root="$(echo "$dir"/unpacked/trevask-*)"
for f in README.md bin/trevask.exe bin/trevask-dialog.exe bin/trevask-sections.exe bin/talvenorctl.dll \
  lib/talvenorctl.dll.a include/talvenorctl.h doc/interface.md doc/control.md register.cmd unregister.cmd \
  examples/robot_tour.vbs examples/robot_tour.js examples/simulated-robot.pcapng examples/cpp/sensor_reader.cpp \
  wireshark/trevask.lua python/talvenor/__init__.py; do
  test -f "$root/$f" || fail "the zip lacks $f"
done

# Every link of the README names a file of the zip.
python3 - "$root" <<'PY' || fail "the README links outside the zip"
import os, re, sys
root = sys.argv[1]
links = re.findall(r"\]\(([^)\s]*)\)", open(os.path.join(root, "README.md"), encoding="utf-8").read())
bad = [l for l in links if not l or ":" in l or l.startswith("/") or
       not os.path.isfile(os.path.normpath(os.path.join(root, l.split("#")[0])))]
for l in bad:
    print("README.md links to %r, which the zip lacks" % l, file=sys.stderr)
print("%d links of the README resolve inside the zip" % len(links))
sys.exit(1 if bad or not links else 0)
PY

# The example against the zip's header and import library only (from inside the unpacked folder, so
# that nothing of the source tree is in reach).
(cd "$root" && "$arch-w64-mingw32-g++-posix" -std=c++17 -Wall -Werror examples/cpp/sensor_reader.cpp -I include \
  lib/talvenorctl.dll.a -static -o bin/sensor_reader.exe) || fail "examples/cpp does not build against the zip"

help="$(wine "$root/bin/trevask.exe" --help)" || fail "trevask.exe --help failed"
grep -q "^usage: trevask" <<<"$help" || fail "trevask.exe --help printed no usage"
if grep -nE '/dev/|/tmp|~/|\$HOME|\$XDG|\.config|SIG[A-Z]+|--group|rfcomm|\(5\)' <<<"$help"; then
  fail "trevask.exe --help describes Linux (the lines above)"
fi

# The recorded session, replayed twice as fast: the watcher and the example read it, and the
# example's motor commands reach the replay, which logs them.
robot="zip$$"
wine "$root/bin/trevask.exe" --replay "$(winpath "$root/examples/simulated-robot.pcapng")" --speed 2 \
  --robot "$robot" >"$work/replay.log" 2>&1 &
replay=$!
wine "$root/bin/trevask-sections.exe" --robot "$robot" --sections sensor,motor --count 4 --timeout 10000 \
  >"$work/sections.log" || fail "no records from the replay: $(cat "$work/sections.log" "$work/replay.log")"
grep -q "^SensorShareMem_Zembrin len=40: " "$work/sections.log" || fail "no standard sensor record"
grep -q "^McSensorShareMem_Zembrin len=33: " "$work/sections.log" || fail "no motor sensor record"
wine "$root/bin/sensor_reader.exe" "$robot" >"$work/reader.log" 2>&1 ||
  fail "the example read nothing: $(cat "$work/reader.log")"
[ "$(grep -c '^sonar 1: [0-9]* cm, tilt x: ' "$work/reader.log")" -ge 5 ] || fail "the example: $(cat "$work/reader.log")"
wait "$replay" || fail "the replay failed: $(cat "$work/replay.log")"
replay=""
grep -q "replay finished: 274 frames" "$work/replay.log" || fail "the replay: $(cat "$work/replay.log")"
grep -q "command not sent (replay): 5E 02 01 .. 05 " "$work/replay.log" ||
  fail "the example's motor command did not reach the replay: $(cat "$work/replay.log")"
echo "the zip ($arch): its files; --help for Windows; examples/cpp built against include/ and lib/ alone;" \
  "the recorded session replayed, read by the watcher and the example ($(grep -c '^sonar 1' "$work/reader.log") readings)"

bash "$here/../windows/regsvr32_check.sh" "$root/bin/talvenorctl.dll" "$bits" --scripts
