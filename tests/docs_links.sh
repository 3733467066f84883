#!/usr/bin/env bash
# Every relative link in README.md, ARCHITECTURE.md and docs/*.md leads to a
# file or folder that exists and, with a #anchor into a Markdown file, to one
# of its headings (anchors as GitHub makes them: lower case, punctuation
# dropped, blanks as hyphens). Code blocks and code spans are not read.
set -uo pipefail
cd "${1:-$(dirname "$0")/..}" || exit 2
text() { awk '/^ *```/ {code = !code; next} !code' "$1"; }
anchors() { text "$1" | sed -n 's/^#\{1,6\} \+//p' | tr 'A-Z' 'a-z' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'; }
failed=0 checked=0
for file in README.md ARCHITECTURE.md docs/*.md; do
  [ -f "$file" ] || continue
  while read -r link; do
    link=${link#](} link=${link%)} link=${link%% *}
    case "$link" in [a-z]*:*) continue ;; esac
    path=${link%%#*} anchor=""
    [[ $link == *#* ]] && anchor=${link#*#}
    target=$file
    [ -n "$path" ] && target=$(dirname "$file")/$path
    checked=$((checked + 1))
    if [ ! -e "$target" ]; then
      echo "$file: $link: no such file"; failed=$((failed + 1))
    elif [ -n "$anchor" ] && [[ $target == *.md ]] && ! anchors "$target" | grep -qxF -- "$anchor"; then
      echo "$file: $link: no such heading in $target"; failed=$((failed + 1))
    fi
  done < <(text "$file" | sed 's/`[^`]*`//g' | grep -o '\]([^)]*)')
done
echo "$checked links, $failed broken"
[ "$failed" -eq 0 ]
