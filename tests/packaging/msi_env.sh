# Sourced by the installer checks once they have set bits and WINEPREFIX: wine's settings, the
# loader of the width's built-ins and where that width installs.
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
# Debian's wine runs the system's tools as 32-bit programs; the 64-bit ones need the 64-bit loader.
if [ "$bits" = 64 ]; then
  wine=(/usr/lib/wine/wine64) program_files="Program Files" menu="Trevask"
else
  wine=(wine) program_files="Program Files (x86)" menu="Trevask (32-bit)"
fi
install_dir="$WINEPREFIX/drive_c/$program_files/Trevask"
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
