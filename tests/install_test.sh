#!/usr/bin/env bash
# An install under a prefix of one's own ("cmake --install --prefix X") has
# a pkg-config file that leads to the header and the library under X.
set -euo pipefail
build=$1 prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
for component in lib dev; do cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null; done
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name vantorreader.pc)")
export PKG_CONFIG_PATH
if [ ! -f "$(pkg-config --variable=includedir vantorreader)/vantor/reader.h" ] ||
  [ ! -f "$(pkg-config --variable=libdir vantorreader)/libvantorreader.so" ]; then
  echo "pkg-config leads elsewhere: $(pkg-config --cflags --libs vantorreader)"
  exit 1
fi
