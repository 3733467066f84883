#!/usr/bin/env bash
# vantor/reader.h compiles for every caller: as C89 and C11 and as C++98 and
# C++17, warnings as errors, with the host compilers and, where they are
# installed, the 32- and 64-bit mingw ones (the dllimport side of the
# header; compiled only).
#   header_test.sh INCLUDE_DIR CC CXX
set -euo pipefail
include=$1 host_cc=$2 host_cxx=$3 work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A caller's file: the constants and a call of each kind of signature.
cat >"$work/caller.c" <<'C'
#include <vantor/reader.h>

int use_reader(void) {
  char version[VANTOR_ROOM_VERSION];
  unsigned int versionLength = 0, trailer = 0;
  unsigned char data[VANTOR_MAX_RESPONSE_DATA];
  int length = 0;
  int handle = DllOpenReader();
  if (handle == VANTOR_ERR_NO_READER || handle == VANTOR_ERR_BUSY) return 1;
  if (DllGetFirmwareVersion(handle, version, &versionLength, &trailer) == VANTOR_OK &&
      SKRevData(handle, 0, 0, data, &length) == 1) {
    DllWriteOfflineData(handle, VANTOR_RECORD_APDU, data, (unsigned char)length);
  }
  return DllCloseReader(handle);
}
C
warnings=(-pedantic -Werror -Wall -Wextra)
checked=()
compile() {  # compiler, then its options
  local cc=$1; shift
  "$cc" "$@" "${warnings[@]}" -I"$include" -c "$work/caller.c" -o "$work/caller.o" ||
    { echo "header_test: $cc $* fails"; exit 1; }
  checked+=("$cc $*")
}
for pair in "$host_cc $host_cxx" "i686-w64-mingw32-gcc i686-w64-mingw32-g++" \
  "x86_64-w64-mingw32-gcc x86_64-w64-mingw32-g++"; do
  read -r cc cxx <<<"$pair"
  command -v "$cc" >/dev/null || continue
  for std in c89 c11; do compile "$cc" -std=$std; done
  for std in c++98 c++17; do compile "$cxx" -x c++ -std=$std; done
done
printf 'header_test: %s\n' "${checked[@]}"
