#!/usr/bin/env bash
# The shared library's ABI is the one kept in reader/abi/vantorreader.abi:
# abidiff compares the two (the functions the header declares, their
# parameter and return types, their symbol versions) and any difference
# fails, with its report. A change made on purpose rewrites the kept file
# in the same commit (docs/library.md says how):
#   abi_test.sh SOURCE_DIR LIBRARY            compare
#   abi_test.sh --update SOURCE_DIR LIBRARY   rewrite the kept file
set -euo pipefail
update=no
if [ "${1-}" = --update ]; then update=yes; shift; fi
src=$1 lib=$2
kept=$src/reader/abi/vantorreader.abi
# Without debug information abidw sees symbols but no types: nothing to
# compare (a build without -g).
if ! readelf -S "$lib" | grep -q '\.debug_info'; then
  echo "abi_test: $lib has no debug information, skipped"; exit 77
fi

# The exported functions and the types they reach, with the source paths
# relative to the source tree so that the file is the same on every machine.
abi() {
  abidw --exported-interfaces-only --headers-dir "$src/reader/include/vantor" --drop-private-types \
    --no-corpus-path --no-comp-dir-path --no-show-locs --type-id-style hash "$lib" |
    sed "s|path='$src/|path='|"
}

if [ "$update" = yes ]; then
  abi >"$kept"
  echo "abi_test: wrote $kept"; exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
abi >"$work/built.abi"
status=0
abidiff --no-show-locs "$kept" "$work/built.abi" >"$work/report" || status=$?
# abidiff's exit status is a bit set: 1 error, 2 usage, 4 a change, 8 a
# change that breaks programs built against the kept ABI.
if [ "$status" -ne 0 ]; then
  cat "$work/report"
  if [ $((status & 3)) -ne 0 ]; then echo "abi_test: abidiff failed ($status)"
  elif [ $((status & 8)) -ne 0 ]; then echo "abi_test: the ABI changed incompatibly: programs built against it break"
  else echo "abi_test: the ABI changed: if that is meant, rewrite $kept (docs/library.md, changing the interface)"
  fi
  exit 1
fi
echo "abi_test: the ABI is the kept one ($(grep -c '<function-decl' "$kept") functions)"
