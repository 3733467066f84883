#!/usr/bin/env bash
# The shared library exports exactly the reader interface, and a C program
# linked against it and a Python program loading it with ctypes work with
# the emulated reader.
set -euo pipefail
lib=$1 example=$2 python_example=$3 work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Each reader function under the version node VANTOR_1.0 as its default
# version, the node's own symbol, and nothing more: any other defined
# dynamic symbol (a C++ template instantiation, a helper) is a leak that
# programs could come to rely on.
want=$( (sed 's/^/T /; s/$/@@VANTOR_1.0/' "$(dirname "$0")/exports.txt"; echo "A VANTOR_1.0") | LC_ALL=C sort)
actual=$(nm -D --defined-only --with-symbol-versions "$lib" | awk '{print $2, $3}' | LC_ALL=C sort)
if [ "$actual" != "$want" ]; then
  echo "exports differ (- wanted, + exported):"
  diff <(echo "$want") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/'
  exit 1
fi
echo '{"firmware_version": "V9 %s", "offline_file_name": "612E62696E"}' > "$work/reader.json"
expected=$(printf 'firmware: V9 %%s (trailer 0000)\noffline file: a.bin')
out=$(VANTOR_READER_SIM="$work/reader.json" "$example")
[ "$out" = "$expected" ] || { echo "unexpected from the C example: $out"; exit 1; }
# A sanitizer's runtime must be the first library of the process, which the
# Python interpreter's is not: the Python example runs in the plain builds.
if ldd "$lib" | grep -qE 'lib(a|t|ub)san'; then
  echo "$(($(wc -l <<<"$want") - 1)) exports, C example ok (the Python example runs in the plain build)"
  exit 0
fi
out=$(VANTOR_READER_SIM="$work/reader.json" python3 "$python_example" "$lib")
[ "$out" = "$expected" ] || { echo "unexpected from the Python example: $out"; exit 1; }
echo "$(($(wc -l <<<"$want") - 1)) exports, C and Python examples ok"
