#!/usr/bin/env bash
# The shared library exports exactly the reader interface, and a C program
# linked against it and a Python program loading it with ctypes work with
# the emulated reader.
set -euo pipefail
lib=$1 example=$2 python_example=$3 work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
want=$(LC_ALL=C sort "$(dirname "$0")/exports.txt" | tr '\n' ' ')
actual=$(nm -D --defined-only "$lib" | awk '$2 == "T" {print $3}' | grep -v '^_' | LC_ALL=C sort | tr '\n' ' ')
if [ "$actual" != "$want" ]; then
  echo "exports differ:"; echo " got:  $actual"; echo " want: $want"; exit 1
fi
echo '{"firmware_version": "V9 %s", "offline_file_name": "612E62696E"}' > "$work/reader.json"
expected=$(printf 'firmware: V9 %%s (trailer 0000)\noffline file: a.bin')
out=$(VANTOR_READER_SIM="$work/reader.json" "$example")
[ "$out" = "$expected" ] || { echo "unexpected from the C example: $out"; exit 1; }
# A sanitizer's runtime must be the first library of the process, which the
# Python interpreter's is not: the Python example runs in the plain builds.
if ldd "$lib" | grep -qE 'lib(a|t|ub)san'; then
  echo "$(wc -w <<<"$want") exports, C example ok (the Python example runs in the plain build)"
  exit 0
fi
out=$(VANTOR_READER_SIM="$work/reader.json" python3 "$python_example" "$lib")
[ "$out" = "$expected" ] || { echo "unexpected from the Python example: $out"; exit 1; }
echo "$(wc -w <<<"$want") exports, C and Python examples ok"
