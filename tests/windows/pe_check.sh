#!/usr/bin/env bash
# The Windows programs as files, without running them: VantorTool.exe and
# vantorreader.dll are PE files of the build's architecture that export
# exactly the reader functions (the same table in the 32-bit and the 64-bit
# build) and need no runtime DLL beside them; vantor.exe is a console
# program of that architecture. Runs on any host.
#   pe_check.sh x86|x64 VANTORTOOL_EXE VANTORREADER_DLL VANTOR_EXE
set -euo pipefail
arch=$1 gui=$2 dll=$3 cli=$4
here=$(cd "$(dirname "$0")" && pwd)
case "$arch" in
  x86) objdump=i686-w64-mingw32-objdump format=pei-i386 ;;
  x64) objdump=x86_64-w64-mingw32-objdump format=pei-x86-64 ;;
  *) echo "pe_check: no architecture $arch" >&2; exit 2 ;;
esac
fail() { echo "pe_check: $*" >&2; exit 1; }
want=$(LC_ALL=C sort "$here/../exports.txt")

check_pe() {  # file, subsystem text, exports wanted (empty: any)
  local headers private exports dlls
  headers=$("$objdump" -f "$1")
  [[ "$headers" == *"file format $format"* ]] || fail "$1 is not $format: $headers"
  private=$("$objdump" -p "$1")
  [[ "$private" == *"Subsystem"*"($2)"* ]] || fail "$1 is not a $2 program"
  if [ -n "$3" ]; then
    exports=$(echo "$private" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      awk '/\[/ && $NF != "Table" {print $NF}' | LC_ALL=C sort)
    [[ "$exports" == "$3" ]] || fail "$1 exports:"$'\n'"$exports"
  fi
  dlls=$(echo "$private" | awk '/DLL Name:/ {print tolower($3)}')
  if grep -qE 'libstdc|libgcc|pthread' <<<"$dlls"; then fail "$1 needs runtime DLLs: $dlls"; fi
}
check_pe "$gui" "Windows GUI" "$want"
check_pe "$dll" "Windows CUI" "$want"
check_pe "$cli" "Windows CUI" ""
echo "pe_check: $arch ($format), $(wc -l <<<"$want") exports in VantorTool.exe and vantorreader.dll"
