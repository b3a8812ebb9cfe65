#!/usr/bin/env bash
# The Windows installer of a build folder under wine, in a fresh prefix of its own, as a user meets
# it: an older version is installed and then replaced by this one (a major upgrade); the control is
# then created by its ProgID from a script; installing again ends cleanly and changes nothing; the
# installer's registry rows are what regsvr32 writes for the installed module, and a repair puts
# them back; uninstalling leaves no file, key, shortcut or Add/Remove Programs entry, and the
# control can no longer be created.
#   msi_check.sh BUILD BITS         (BITS 64 or 32; the msi target built in BUILD)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build="$(realpath "$1")"
bits="$2"
version="$(head -n 1 "$source_dir/VERSION")"
msi="$build/trevask-$version-win$bits.msi"
work="$build/msi-check"
old="$work/trevask-0.1.0-win$bits.msi"  # an older version, built here
WINEPREFIX="$build/msi-prefix"
source "$here/msi_env.sh"
dll="C:\\$program_files\\Trevask\\bin\\talvenorctl.dll"
fail() { echo "msi_check ($bits-bit): $*"; exit 1; }
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

test -f "$msi" || fail "no $msi (cmake --build $build --target msi)"
rm -rf "$work" "$WINEPREFIX"
mkdir -p "$work"
cmake -DBUILD_DIR="$build" -DBITS="$bits" -DVERSION=0.1.0 -DOUTPUT="$old" -P "$source_dir/packaging/msi/make_msi.cmake" \
  >/dev/null
property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }
code="$(property "$msi" ProductCode)"
old_code="$(property "$old" ProductCode)"
[ "$code" != "$old_code" ] || fail "the older version has the same ProductCode $code"
[ "$(property "$msi" UpgradeCode)" = "$(property "$old" UpgradeCode)" ] || fail "the UpgradeCodes differ"
wineboot -i >/dev/null 2>&1

msiexec() { "${wine[@]}" msiexec "$@"; }
arp() { "${wine[@]}" reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1" /v "$2" "/reg:$bits" 2>/dev/null |
  tr -d '\r' | awk -v n="$2" '$1 == n { sub(/^ *[^ ]+ +REG_[A-Z_]+ +/, ""); print }'; }
# The registration's keys and the installer's own, in both views of the registry, as `reg` lists
# them. --compare reads them as regsvr32 and the installer write them alike: wine's type-library
# registration spells paths with the \\?\ prefix and the folder without its closing backslash,
# which installer rows cannot; and a 32-bit installer writes into the 32-bit view only, where the
# 32-bit module's registration adds the interfaces to the 64-bit view too.
keys=('CLSID\{C3F1E5A4-1541-4456-9AB0-8BD4CE11A513}' 'CLSID\{5307B30C-C252-450A-9AC4-2187A2492C94}'
  'ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1' 'TypeLib\{98FCFC5C-1F70-4640-8B7B-A53A1B88AA8A}'
  'Interface\{4344A992-02A4-406C-8466-7CFF8C489813}' 'Interface\{9C1124A3-2E3D-4CDA-A9F3-33B92BB5491D}')
registry() {
  for view in 64 32; do
    for key in "${keys[@]/#/HKCR\\}" 'HKLM\Software\Trevask'; do
      if [ "${1:-}" = --compare ] && [ "$bits" = 32 ] && [ "$view" = 64 ] && [[ "$key" == *Interface* ]]; then continue; fi
      echo "== $key /reg:$view"
      "${wine[@]}" reg query "$key" /s "/reg:$view" 2>&1 | tr -d '\r' || true
    done
  done | if [ "${1:-}" = --compare ]; then sed -e 's/\\\\?\\//' -e 's/\\$//'; else cat; fi
}
create() {  # creates the control by its ProgID from a script; prints "created ..." or "failed ..."
  rm -f "$work/created.txt"
  "${wine[@]}" cscript //nologo "$(winpath "$here/msi_create.vbs")" "$(winpath "$work/created.txt")" >/dev/null 2>&1 ||
    true
  tr -d '\r' <"$work/created.txt" 2>/dev/null || echo "no result from the script"
}
shortcuts() { find "$WINEPREFIX/drive_c" -path "*/Start Menu/Programs/$menu/*" -name '*.lnk' -printf '%f\n' | sort; }
files=(bin/trevask.exe bin/trevask-dialog.exe bin/trevask-sections.exe bin/talvenorctl.dll lib/talvenorctl.dll.a
  include/talvenorctl.h README.md doc/interface.md doc/control.md doc/images/trevask-dialog-windows.png
  wireshark/trevask.lua examples/robot_tour.vbs examples/robot_tour.js examples/simulated-robot.pcapng examples/cpp/sensor_reader.cpp
  python/talvenor/__init__.py)
expected_shortcuts=$'Control interface.lnk\nRobot tour (JScript).lnk\nRobot tour (VBScript).lnk\nTrevask relay.lnk'

echo "== the older version (0.1.0), then $version over it"
msiexec /i "$(winpath "$old")" /qn || fail "installing the older version failed"
[ "$(arp "$old_code" DisplayVersion)" = 0.1.0 ] || fail "no Add/Remove Programs entry of the older version"
msiexec /i "$(winpath "$msi")" /qn || fail "the upgrade failed"
[ -z "$(arp "$old_code" DisplayVersion)" ] || fail "the older version is still installed after the upgrade"
[ "$(arp "$code" DisplayVersion)" = "$version" ] || fail "no Add/Remove Programs entry of $version"
[[ "$(arp "$code" DisplayName)" == "Trevask $version ($bits-bit)" ]] || fail "Add/Remove Programs names $(arp "$code" DisplayName)"
for f in "${files[@]}"; do test -f "$install_dir/$f" || fail "$f is not installed"; done
[ "$(shortcuts)" = "$expected_shortcuts" ] || fail "the Start menu holds: $(shortcuts | tr '\n' ',')"
created="$(create)"
[[ "$created" == created* ]] || fail "creating the control by its ProgID: $created"
echo "$created"
installed="$(registry)"
installed_compared="$(registry --compare)"

echo "== installing again, then the rows against regsvr32's"
msiexec /i "$(winpath "$msi")" /qn || fail "installing a second time failed"
# A read taken while wine's installer service still writes can differ: read again once every wine
# process of the prefix has ended.
again="$(registry)"
[ "$again" = "$installed" ] || { wineserver -w; again="$(registry)"; }
[ "$again" = "$installed" ] || { diff -u <(echo "$installed") <(echo "$again"); fail "installing a second time changed the registry (- first, + second)"; }
"${wine[@]}" regsvr32 /u /s "$dll" || fail "regsvr32 /u failed"
! registry | grep -q 'HKEY_CLASSES_ROOT' || fail "regsvr32 /u left keys: $(registry | grep HKEY_CLASSES_ROOT)"
"${wine[@]}" regsvr32 /s "$dll" || fail "regsvr32 failed"
registered="$(registry --compare)"
diff -u <(echo "$installed_compared") <(echo "$registered") ||
  fail "the installer's rows differ from regsvr32's (- installer, + regsvr32)"
"${wine[@]}" regsvr32 /u /s "$dll" || fail "regsvr32 /u failed"
msiexec /i "$(winpath "$msi")" REINSTALL=ALL REINSTALLMODE=amus /qn || fail "the repair failed"
repaired="$(registry)"
[ "$repaired" = "$installed" ] || { diff -u <(echo "$installed") <(echo "$repaired"); fail "the repair did not restore the installer's rows (- installed, + repaired)"; }
[[ "$(create)" == created* ]] || fail "creating the control after the repair: $(create)"

echo "== uninstalling"
msiexec /x "$(winpath "$msi")" /qn || fail "uninstalling failed"
created="$(create)"
[[ "$created" == failed* ]] || fail "the control is still created after uninstalling: $created"
! test -e "$install_dir" || fail "files are left: $(find "$install_dir" | head)"
[ -z "$(shortcuts)" ] || fail "shortcuts are left: $(shortcuts)"
[ -z "$(find "$WINEPREFIX/drive_c" -path "*/Start Menu/Programs/$menu")" ] || fail "the Start-menu folder is left"
! registry | grep -q 'HKEY_' || fail "keys are left: $(registry | grep HKEY_)"
[ -z "$(arp "$code" DisplayVersion)" ] || fail "the Add/Remove Programs entry is left"
echo "installed, upgraded, reinstalled, checked against regsvr32, repaired and uninstalled the $bits-bit MSI"
