#!/usr/bin/env bash
# The Windows installer under wine while its files are in use, in a fresh prefix of its own.
# A relay of an older version runs from the installed folder (a Wi-Fi link to a port of 127.0.0.1
# that nobody answers, so it keeps retrying) while this version is installed over it: msiexec ends
# with 3010, restart required (0 when the older build's trevask.exe is byte for byte this one's);
# the relay runs on, this version is the one registered, every other file is already this
# version's, and trevask.exe is replaced at the next restart (wineboot -r). Installing or repairing
# the same version over its running relay rewrites nothing and ends with 0. Then a script holds the
# control (created by its ProgID, so talvenorctl.dll is loaded) while the installation is removed:
# msiexec ends with 3010, the held module is renamed at once and deleted at the restart, the
# script's control keeps working until the script lets it go, and after the restart no file, key,
# shortcut or Add/Remove Programs entry is left; a second uninstall finds nothing to remove.
# Installed again before that restart, the installation stays whole through it.
#   msi_in_use.sh BUILD BITS         (BITS 64 or 32; the msi target built in BUILD)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build="$(realpath "$1")"
bits="$2"
version="$(head -n 1 "$source_dir/VERSION")"
msi="$build/trevask-$version-win$bits.msi"
work="$build/msi-in-use"
old="$work/trevask-0.1.0-win$bits.msi"
WINEPREFIX="$work/prefix"
source "$here/msi_env.sh"
fail() { echo "msi_in_use ($bits-bit): $*"; exit 1; }
relay="" holder=""
finish() {
  local status=$?
  for pid in $relay $holder; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  wineserver -k >/dev/null 2>&1 || true
  exit "$status"
}
trap finish EXIT
# Waits, up to SECONDS, until the command succeeds.
wait_for() {
  local what="$1" seconds="$2"
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "waited $seconds s for $what"
    sleep 0.1
  done
}
# msiexec's exit status as Windows reports it: the process's status reaches here in 8 bits.
msiexec() {
  local status=0
  "${wine[@]}" msiexec "$@" || status=$?
  case "$status" in
    194) echo 3010 ;;  # ERROR_SUCCESS_REBOOT_REQUIRED
    67) echo 1603 ;;   # ERROR_INSTALL_FAILURE
    69) echo 1605 ;;   # ERROR_UNKNOWN_PRODUCT
    *) echo "$status" ;;
  esac
}
property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }
arp() { "${wine[@]}" reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1" /v DisplayVersion "/reg:$bits" \
  2>/dev/null | tr -d '\r' | awk '$1 == "DisplayVersion" { print $3 }'; }
pending() { "${wine[@]}" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations \
  2>/dev/null | tr -d '\r' | grep PendingFileRenameOperations || true; }
# The installed files against this version's: lists what differs, is missing or is not its.
differences() {
  diff <(cd "$new" && find . -type f | sort) <(cd "$install_dir" && find . -type f | sort) |
    sed -n 's/^[<>] //p' || true
  (cd "$new" && find . -type f) | while read -r f; do
    test ! -f "$install_dir/$f" || cmp -s "$new/$f" "$install_dir/$f" || echo "$f"
  done
}
left() {  # what an uninstall must not leave
  test ! -e "$install_dir" || find "$install_dir" | head -n 5
  find "$WINEPREFIX/drive_c" -path "*/Start Menu/Programs/$menu*"
  for key in 'HKCR\CLSID\{C3F1E5A4-1541-4456-9AB0-8BD4CE11A513}' 'HKCR\ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1' \
    'HKCR\TypeLib\{98FCFC5C-1F70-4640-8B7B-A53A1B88AA8A}' "HKLM\\Software\\Trevask\\$bits"; do
    ! "${wine[@]}" reg query "$key" "/reg:$bits" >/dev/null 2>&1 || echo "$key"
  done
  [ -z "$(arp "$code")" ] || echo "the Add/Remove Programs entry"
}

test -f "$msi" || fail "no $msi (cmake --build $build --target msi)"
rm -rf "$work"
mkdir -p "$work/new" "$work/old"
cmake -DBUILD_DIR="$build" -DBITS="$bits" -DVERSION=0.1.0 -DOUTPUT="$old" -P "$source_dir/packaging/msi/make_msi.cmake" \
  >/dev/null
msiextract -C "$work/new" "$msi" >/dev/null
msiextract -C "$work/old" "$old" >/dev/null
# msiextract puts the folder under "Program Files" for a 32-bit installer, at the top for a 64-bit one.
new="$(dirname "$(dirname "$(find "$work/new" -path '*/Trevask/bin/trevask.exe')")")"
old_files="$(dirname "$(dirname "$(find "$work/old" -path '*/Trevask/bin/trevask.exe')")")"
code="$(property "$msi" ProductCode)"
old_code="$(property "$old" ProductCode)"
wineboot -i >/dev/null 2>&1

run_relay() {  # the installed relay, linking to a port of 127.0.0.1 that nobody answers
  "${wine[@]}" "C:\\$program_files\\Trevask\\bin\\trevask.exe" --wifi 127.0.0.1 --port 9 --robot InUse \
    >"$work/relay.log" 2>&1 &
  relay=$!
  wait_for "the relay to start connecting" 20 grep -q 'Connecting to' "$work/relay.log"
}
restart() {  # Windows restarts: the deletions and replacements it was left are done
  "${wine[@]}" wineboot -r >/dev/null 2>&1
  [ -z "$(pending)" ] || fail "work still waits after the restart: $(pending)"
}
stop_relay() {
  kill "$relay"
  wait "$relay" || true
  relay=""
}

echo "== $version installed over a running relay of 0.1.0"
[ "$(msiexec /i "$(winpath "$old")" /qn)" = 0 ] || fail "installing the older version failed"
run_relay
status="$(msiexec /i "$(winpath "$msi")" /qn)"
echo "msiexec /i over the running relay: $status"
kill -0 "$relay" 2>/dev/null || fail "the relay stopped during the installation"
[ "$(arp "$code")" = "$version" ] && [ -z "$(arp "$old_code")" ] || fail "$version is not the one registered"
if cmp -s "$old_files/bin/trevask.exe" "$new/bin/trevask.exe"; then
  # The older build's program is byte for byte this one's (stripped in the same second): nothing
  # to replace.
  [ "$status" = 0 ] && [ -z "$(pending)" ] || fail "installing over the running relay ended with $status: $(pending)"
else
  # The running program stays until the restart; this version's waits beside it under a temporary
  # name, every other file is already this version's.
  [ "$status" = 3010 ] || fail "installing over the running relay ended with $status, not 3010 (restart required)"
  cmp -s "$old_files/bin/trevask.exe" "$install_dir/bin/trevask.exe" || fail "the running trevask.exe was changed"
  [[ "$(pending)" == *'\bin\trevask.exe'* ]] || fail "no replacement of trevask.exe waits for the restart: $(pending)"
  [ -z "$(differences | grep -v -e '^\./bin/msi[0-9a-f]*\.tmp$' -e '^\./bin/trevask\.exe$')" ] ||
    fail "files other than the running trevask.exe are not $version's: $(differences)"
fi
stop_relay
restart
[ -z "$(differences)" ] || fail "after the restart these files are not $version's: $(differences)"

echo "== $version installed again, then repaired, over its running relay"
run_relay
# Neither rewrites a file that is already this version's, the running one included.
for how in "" "REINSTALL=ALL REINSTALLMODE=amus"; do
  # shellcheck disable=SC2086
  status="$(msiexec /i "$(winpath "$msi")" $how /qn)"
  echo "msiexec /i $how over the running relay: $status"
  [ "$status" = 0 ] && [ -z "$(pending)" ] && [ -z "$(differences)" ] ||
    fail "installing the same version again ($how) ended with $status, changed files or left work: $(pending)"
  kill -0 "$relay" 2>/dev/null || fail "the relay stopped during the installation"
done
stop_relay
[ "$("${wine[@]}" "C:\\$program_files\\Trevask\\bin\\trevask.exe" --version | tr -d '\r')" = "trevask $version" ] ||
  fail "the installed trevask.exe does not run"

hold() {  # starts a script that creates the control and holds it until $work/release exists
  rm -f "$work/created.txt" "$work/release" "$work/result.txt"
  "${wine[@]}" cscript //nologo "$(winpath "$here/msi_hold.vbs")" "$(winpath "$work/created.txt")" \
    "$(winpath "$work/release")" "$(winpath "$work/result.txt")" >/dev/null 2>&1 &
  holder=$!
  wait_for "the script to create the control" 20 test -s "$work/created.txt"
  [[ "$(tr -d '\r' <"$work/created.txt")" == created* ]] || fail "the script: $(cat "$work/created.txt")"
}
release() {  # lets the script go; it must have kept a working control
  touch "$work/release"
  wait "$holder" || true
  holder=""
  local result
  result="$(tr -d '\r' <"$work/result.txt" 2>/dev/null || echo "no result from the script")"
  [[ "$result" == "still working"* ]] || fail "the held control after the uninstall: $result"
}
uninstall_held() {  # uninstalls while the script holds the control: restart required
  local status
  status="$(msiexec /x "$(winpath "$msi")" /qn)"
  echo "msiexec /x while a script holds the control: $status"
  [ "$status" = 3010 ] || fail "uninstalling while a script holds the control ended with $status, not 3010"
  kill -0 "$holder" 2>/dev/null || fail "the script holding the control stopped during the uninstall"
  [[ "$(pending)" == *'\bin\del'*'.tmp'* ]] || fail "the held module is not renamed for deletion at the restart: $(pending)"
  ! test -e "$install_dir/bin/talvenorctl.dll" || fail "the held module keeps its name after the uninstall"
  [ -z "$(left | grep -v "^$install_dir")" ] || fail "the uninstall left: $(left | grep -v "^$install_dir" | tr '\n' ' ')"
}

echo "== uninstalled while a script holds the control"
hold
uninstall_held
release
restart
[ -z "$(left)" ] || fail "after the restart the uninstall left: $(left | tr '\n' ' ')"
status="$(msiexec /x "$(winpath "$msi")" /qn)"
# Given the package, msiexec runs its removal again and finds nothing (0); given the product code, 1605.
[ "$status" = 0 ] || [ "$status" = 1605 ] || fail "a second uninstall ended with $status"
[ -z "$(left)" ] || fail "the second uninstall left: $(left | tr '\n' ' ')"

echo "== installed again before the restart that deletes the held module"
[ "$(msiexec /i "$(winpath "$msi")" /qn)" = 0 ] || fail "installing failed"
hold
uninstall_held
release
[ "$(msiexec /i "$(winpath "$msi")" /qn)" = 0 ] || fail "installing again before the restart failed"
restart
[ -z "$(differences)" ] || fail "after the restart these files are not $version's: $(differences)"
hold
release
[ "$(msiexec /x "$(winpath "$msi")" /qn)" = 0 ] || fail "uninstalling failed"
[ -z "$(left)" ] || fail "the uninstall left: $(left | tr '\n' ' ')"
echo "installed $version over a running relay (trevask.exe replaced at the restart), again and repaired over it (0), and uninstalled it while a script held the control (3010, the module deleted at the restart, nothing left) with the $bits-bit MSI"
