#!/usr/bin/env bash
# Builds the Debian packages from a build folder, looks inside them, installs them on this machine
# with apt, checks what a user gets (the programs, the service unit, man pages, the user, pkg-config,
# a C program built against the library, the Python package), then removes and purges them and checks
# that nothing is left. Needs root; CI runs it on its throw-away machine.
#
# Packages for another processor (a cross build's) are looked inside and run under its emulator
# instead: their programs, and a C program cross-built against the library and its header.
#
#   bash tests/packaging/check_packages.sh [BUILD_DIR [ARCH]]      (default: build, this machine's)
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${1:-build}"
arch="${2:-$(dpkg --print-architecture)}"
multiarch="$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)"
[ "$(id -u)" -eq 0 ] || { echo "check_packages.sh: needs root (it installs the packages)"; exit 2; }
fail() { echo "check_packages.sh: $*"; exit 1; }
work="$(mktemp -d /tmp/trevask-packages.XXXXXX)"
trap 'rm -rf "$work"' EXIT

cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null  # packages install under /usr
cmake --build "$build" >/dev/null
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
version="$(cat VERSION)"
packages=(trevask trevask-tools libtalvenorctl2 libtalvenorctl-dev)
[ -x "$build/relay/app/trevask-dialog" ] && packages+=(trevask-dialog)
for p in "${packages[@]}"; do
  [ -f "$build/${p}_${version}_${arch}.deb" ] || fail "no package $p for $arch"
done
[ -f "$build/python3-talvenor_${version}_all.deb" ] || fail "no package python3-talvenor"

has() {  # has PACKAGE PATH...: the package holds each path
  local list
  list="$(dpkg-deb -c "$build/$1"_*.deb | awk '{print $6}')"
  shift
  for path in "$@"; do grep -qx "\./$path" <<<"$list" || fail "$path is not in the package"; done
}
has trevask usr/bin/trevask usr/lib/systemd/system/trevask@.service usr/share/man/man1/trevask.1.gz \
  usr/share/man/man5/trevask.conf.5.gz usr/share/trevask/wireshark/trevask.lua \
  usr/share/doc/trevask/examples/robot.conf.example usr/share/doc/trevask/examples/99-trevask-robot.rules
has trevask-tools usr/bin/robot-sim usr/bin/trevask-sections usr/bin/trevask-mqtt \
  usr/share/man/man1/robot-sim.1.gz usr/share/man/man1/trevask-sections.1.gz usr/share/man/man1/trevask-mqtt.1.gz \
  usr/share/trevask/mosquitto/make-config.sh usr/lib/systemd/system/trevask-mqtt@.service
if [ -x "$build/clients/ros2/trevask-ros2" ]; then
  has trevask-tools usr/bin/trevask-ros2 usr/share/man/man1/trevask-ros2.1.gz usr/lib/systemd/system/trevask-ros2@.service
fi
if [[ " ${packages[*]} " == *" trevask-dialog "* ]]; then
  has trevask-dialog usr/bin/trevask-dialog
  has trevask-tools usr/share/man/man1/talvenor-dashboard.1.gz
fi
has libtalvenorctl2 "usr/lib/$multiarch/libtalvenorctl.so.2"
has python3-talvenor usr/lib/python3/dist-packages/talvenor/_version.py
has libtalvenorctl-dev usr/include/talvenor/talvenorctl.h usr/include/talvenor/talvenorctl_server.h "usr/lib/$multiarch/pkgconfig/talvenorctl.pc"
for p in "${packages[@]}"; do
  [ "$(dpkg-deb -f "$build/${p}_${version}_${arch}.deb" Architecture)" = "$arch" ] || fail "$p is not for $arch"
done
has python3-talvenor usr/lib/python3/dist-packages/talvenor/__init__.py
dpkg-deb -I "$build"/libtalvenorctl2_*.deb | grep -q "Depends:.*libqt6" && fail "the library package needs Qt"
dpkg-deb -I "$build"/trevask_*.deb | grep -q "Depends:.*libqt6" && fail "the relay's package needs Qt (its dialog is apart)"
echo "== the packages hold their files"

# A C client of the installed library and header.
cat >"$work/client.c" <<'C'
#include <talvenorctl.h>
#include <stdio.h>
int main(void) {
  int32_t id = 0;
  if (tv_get_dispid("TakePhoto", &id) != TV_OK) return 1;
  printf("%d members, TakePhoto is %d\n", tv_member_count(), id);
  return 0;
}
C

if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  # Another processor's: unpacked, and run where they would be installed, under the emulator.
  emulator=(qemu-"$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_CPU 2>/dev/null)"-static -L /)
  for p in "${packages[@]}" python3-talvenor; do dpkg-deb -x "$build/${p}_${version}_"*.deb "$work/root"; done
  [ "$("${emulator[@]}" "$work/root/usr/bin/trevask" --version)" = "trevask $version" ] || fail "the $arch relay does not run"
  "${emulator[@]}" "$work/root/usr/bin/robot-sim" --help >/dev/null || fail "the $arch robot-sim does not run"
  "$multiarch-gcc" "$work/client.c" -o "$work/client" -I"$work/root/usr/include/talvenor" \
    -L"$work/root/usr/lib/$multiarch" -ltalvenorctl || fail "a C client does not build for $arch"
  LD_LIBRARY_PATH="$work/root/usr/lib/$multiarch" "${emulator[@]}" "$work/client" | grep -q "members" ||
    fail "the $arch C client does not run"
  echo "== $arch: the relay, the simulated robot and a C client on the library run under the emulator"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "./$build/trevask_${version}_amd64.deb" "./$build/trevask-tools_${version}_amd64.deb" \
  "./$build/trevask-dialog_${version}_amd64.deb" "./$build/libtalvenorctl2_${version}_amd64.deb" "./$build/libtalvenorctl-dev_${version}_amd64.deb" \
  "./$build/python3-talvenor_${version}_all.deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "apt-get install failed"; }
[ "$(/usr/bin/trevask --version)" = "trevask $version" ] || fail "trevask --version: $(/usr/bin/trevask --version)"
id trevask >/dev/null || fail "no service user"
id -nG trevask | grep -qw dialout || fail "the service user is not in dialout"
getent group robots >/dev/null || fail "no group robots for the relay's clients"
[ "$(stat -c '%U:%G %a' /var/lib/trevask/sounds)" = "trevask:robots 2775" ] || fail "no sounds folder for the group"
man -w trevask-mqtt >/dev/null && man -w talvenor-dashboard >/dev/null || fail "the tools' man pages are not found"
if [ -x "$build/clients/ros2/trevask-ros2" ]; then
  man -w trevask-ros2 >/dev/null || fail "the ROS 2 bridge's man page is not found"
  /usr/bin/trevask-ros2 --help | grep -q "usage: trevask-ros2" || fail "the installed trevask-ros2 does not run"
fi
zcat /usr/share/man/man1/trevask.1.gz | head -1 | grep -q "trevask $version" || fail "the man page has another version"
[ -d /etc/trevask ] || fail "no /etc/trevask"
man -w trevask >/dev/null && man -w 5 trevask.conf >/dev/null || fail "the man pages are not found"
if command -v systemd-analyze >/dev/null; then
  cp /usr/lib/systemd/system/trevask@.service "$work/trevask@scout.service"
  systemd-analyze verify "$work/trevask@scout.service" || fail "systemd-analyze verify"
  cp /usr/lib/systemd/system/trevask-mqtt@.service "$work/trevask-mqtt@scout.service"
  systemd-analyze verify "$work/trevask-mqtt@scout.service" || fail "systemd-analyze verify (the bridge)"
  if [ -e /usr/lib/systemd/system/trevask-ros2@.service ]; then
    cp /usr/lib/systemd/system/trevask-ros2@.service "$work/trevask-ros2@scout.service"
    systemd-analyze verify "$work/trevask-ros2@scout.service" || fail "systemd-analyze verify (the ROS 2 bridge)"
  fi
  echo "== systemd-analyze verify: the units are sound"
fi
[ "$(pkg-config --modversion talvenorctl)" = "$version" ] || fail "pkg-config"
gcc "$work/client.c" -o "$work/client" $(pkg-config --cflags --libs talvenorctl) || fail "a C client does not build"
"$work/client" | grep -q "members" || fail "the C client does not run"
[ "$(env -u TALVENOR_LIBRARY -u PYTHONPATH /usr/bin/python3 -c "import talvenor; print(talvenor.__version__)")" = "$version" ] ||
  fail "the Python package does not load the installed library, or has another version"
echo "== installed: trevask, its service user and unit, man pages, pkg-config, a C client, Python"

apt-get remove --purge -y -qq trevask trevask-dialog trevask-tools python3-talvenor libtalvenorctl-dev libtalvenorctl2 \
  >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "apt-get remove failed"; }
for path in /usr/bin/trevask /usr/bin/robot-sim /usr/lib/systemd/system/trevask@.service \
  /usr/lib/x86_64-linux-gnu/libtalvenorctl.so.2 /usr/lib/python3/dist-packages/talvenor /etc/trevask \
  /var/lib/trevask/sounds /usr/bin/trevask-dialog; do
  [ ! -e "$path" ] || fail "$path is left after the purge"
done
id trevask >/dev/null 2>&1 && fail "the service user is left after the purge"
echo "== removed and purged: nothing left"
