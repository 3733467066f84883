#!/usr/bin/env bash
# An install under a prefix of one's own ("cmake --install --prefix X") is
# usable through its pkg-config file: a C program built with what it says
# finds the header and the library under X, for two prefixes in turn.
set -euo pipefail
build=$1 source=$2 work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for prefix in "$work/one" "$work/two/usr"; do
  for component in lib dev; do
    cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
  done
  pc=$(find "$prefix" -name vantorreader.pc)
  [ "$(sed -n 's/^prefix=//p' "$pc")" = "$prefix" ] || { echo "$pc: $(head -1 "$pc")"; exit 1; }
  export PKG_CONFIG_PATH=${pc%/*}
  # shellcheck disable=SC2046
  cc -o "$work/read_version" "$source/examples/read_version.c" \
    $(pkg-config --cflags --libs vantorreader)
  echo '{"firmware_version": "V1"}' >"$work/reader.json"
  out=$(LD_LIBRARY_PATH=$(pkg-config --variable=libdir vantorreader) \
    VANTOR_READER_SIM="$work/reader.json" "$work/read_version")
  [ "${out%%$'\n'*}" = "firmware: V1 (trailer 0000)" ] || { echo "$prefix: $out"; exit 1; }
done
echo "pkg-config leads to the prefix installed to"
