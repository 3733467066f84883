# Sourced by the scripts that run Windows programs: which Wine runs which
# program, whether this host runs 32-bit code at all, and a prefix to run
# them in. Some hosts (a hypervisor without a 32-bit code segment) run no
# 32-bit x86 code: there 32-bit Wine cannot start, while 64-bit Wine works.
#
#   host_runs_32bit         status 0 when 32-bit x86 programs run here
#   pe_arch FILE            x86 or x64, from the PE header of FILE
#   wine_arch ARCH          exports WINE, WINESERVER, WINEARCH for x86 or x64
#   wine_prefix DIR         makes a fresh prefix in DIR for that Wine and
#                           exports WINEPREFIX (a wineboot that hangs is cut
#                           off after 300 s)

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

host_runs_32bit() {
  [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

pe_arch() {
  local offset machine
  offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  machine=$(od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' ')
  case "$machine" in
    8664) echo x64 ;;
    014c) echo x86 ;;
    *) echo "wine.sh: $1 is not an x86 or x64 Windows program (machine $machine)" >&2; return 1 ;;
  esac
}

# Debian's wine wrapper prefers the 32-bit loader when it is installed,
# which cannot start on a host without 32-bit code: name the loader.
wine_arch() {
  case "$1" in
    x64)
      export WINEARCH=win64 WINE=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64 ;;
    x86)
      export WINEARCH=win32 WINE=/usr/lib/wine/wine WINESERVER=/usr/lib/wine/wineserver32 ;;
    *) echo "wine.sh: no Wine for $1" >&2; return 1 ;;
  esac
  [ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)
}

wine_prefix() {
  export WINEPREFIX=$1
  if ! timeout 300 "$WINE" wineboot -i >/dev/null 2>&1; then
    echo "wine.sh: wineboot did not finish in $WINEPREFIX" >&2
  fi
  "$WINESERVER" -w || true
}
