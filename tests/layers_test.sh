#!/usr/bin/env bash
# ARCHITECTURE.md's table of folders, held to the code: each folder includes
# (#include "...") headers of its own and of the folders its row names, of
# no other folder, and of each folder its row names; a row names only
# folders above it, so no folders include each other, even by way of others.
# A header is the file beside the including one, or else the source tree's
# file whose path ends with the included name (X.h.in is the X.h made from
# it), in the table's folders or not; a name found in neither is a system
# header.
set -uo pipefail
cd "${1:-$(dirname "$0")/..}" || exit 2
declare -A allowed used
folders=() failed=0
fail() { echo "$*"; failed=$((failed + 1)); }
while IFS='|' read -r _ folder _ from _; do
  folder=$(grep -o '[a-z0-9_]*/' <<< "$folder")
  from=$(grep -o '`[a-z0-9_]*/`' <<< "$from" | tr -d '`' | tr '\n' ' ')
  for above in $from; do
    [[ " ${folders[*]} " == *" $above "* ]] || fail "ARCHITECTURE.md: $folder includes from $above, which is not above it"
  done
  allowed[$folder]=" $from"
  folders+=("$folder")
done < <(grep '^| `[a-z0-9_]*/` |' ARCHITECTURE.md)
[ ${#folders[@]} -gt 0 ] || { echo "no table of folders in ARCHITECTURE.md"; exit 1; }

declare -A headers  # file name -> the headers of that name
while read -r h; do
  headers[${h##*/}]+="$h "
done < <(find . \( -name '.git' -o -name 'build*' \) -prune -o -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.h.in' \) -print |
  sed 's|^\./||; s/\.in$//')
while read -r file; do
  own=${file%%/*}/
  while read -r name; do
    found=""
    if [ -f "${file%/*}/$name" ]; then
      found=" $(realpath -m --relative-to=. "${file%/*}/$name" | cut -d/ -f1)/"
    else
      for h in ${headers[${name##*/}]-}; do
        [[ /$h == */"$name" && " $found " != *" ${h%%/*}/ "* ]] && found+=" ${h%%/*}/"
      done
    fi
    [ -n "$found" ] || continue
    [[ "$found " == *" $own "* ]] && continue
    ok=no
    for f in $found; do
      [[ ${allowed[$own]} == *" $f "* ]] && { ok=yes; used[$own$f]=1; }
    done
    if [ "$ok" = no ]; then
      names=$(xargs <<< "${allowed[$own]}")
      fail "$file includes \"$name\" from$found (ARCHITECTURE.md: $own includes from ${names:-nothing})"
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find "${folders[@]}" -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.rc' \))

for folder in "${folders[@]}"; do
  for from in ${allowed[$folder]}; do
    [ -n "${used[$folder$from]-}" ] || fail "ARCHITECTURE.md: $folder includes from $from, but nothing in $folder does"
  done
done
echo "${#folders[@]} folders, $failed faults"
[ "$failed" -eq 0 ]
