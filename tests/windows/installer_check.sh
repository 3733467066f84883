#!/usr/bin/env bash
# An installer under Wine: the silent install puts exactly the files listed
# in WANT (one path a line, relative to the install folder) there, with the
# Start-menu shortcut and the registry keys; the installed vantor.exe reads
# the emulated reader; the silent uninstall leaves nothing behind. Runs in
# the Wine prefix WINEPREFIX with the Wine named by WINE and WINESERVER
# (default: wine, wineserver): scripts/test-packages on the host, and the
# kernel bench's machine for a 32-bit installer where the host runs no
# 32-bit code.
#   installer_check.sh SETUP_EXE WANT INSTALL_FOLDER NAME
#   (INSTALL_FOLDER as Windows names it, NAME the Start-menu folder and the
#   registry key: 'C:\Program Files\VantorTool' VantorTool)
set -euo pipefail
setup=$1 want=$2 folder=$3 name=$4
wine=${WINE:-wine} wineserver=${WINESERVER:-wineserver}
fail() { echo "installer_check: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

installed="$WINEPREFIX/drive_c/$(sed 's/^[Cc]:\\//' <<<"$folder" | tr '\\' /)"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/$name"
# The uninstall entry Windows lists, and where the installer notes its folder.
keys=("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$name"
  "HKLM\\Software\\VantorTool\\$name")
timeout 300 "$wine" "$setup" /S
"$wineserver" -w
got=$(cd "$installed" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$got" = "$( (cat "$want"; echo Uninstall.exe) | LC_ALL=C sort)" ] || fail "installed:"$'\n'"$got"
[ -f "$menu/VantorTool.lnk" ] || fail "no Start-menu shortcut in $menu"
for key in "${keys[@]}"; do "$wine" reg query "$key" >/dev/null 2>&1 || fail "no registry key $key"; done
echo "ok: silent install ($SECONDS s)"

echo '{"firmware_version": "V9 %s", "offline_file_name": "612E62696E"}' >"$work/reader.json"
out=$(VANTOR_READER_SIM="Z:$(tr / '\\' <<<"$work/reader.json")" \
  timeout 120 "$wine" "$folder\\vantor.exe" info | tr -d '\r') || fail "vantor.exe info: $out"
[[ $out == *"Firmware Version: V9 %s"*"Offline File: a.bin"* ]] || fail "vantor.exe info printed: $out"
echo "ok: installed vantor.exe info ($SECONDS s)"

timeout 300 "$wine" "$folder\\Uninstall.exe" /S
"$wineserver" -w
[ ! -e "$installed" ] || fail "left after uninstall: $(find "$installed")"
[ ! -e "$menu" ] || fail "Start-menu folder left after uninstall"
for key in "${keys[@]}"; do
  if "$wine" reg query "$key" >/dev/null 2>&1; then fail "registry key $key left after uninstall"; fi
done
echo "ok: silent uninstall ($SECONDS s)"
