#!/usr/bin/env bash
# Makes a fresh Wine prefix for the 32- or 64-bit exe and waits until its
# first server has gone. Usage: tests/wine/boot.sh <prefix> <32|64>
set -euo pipefail
prefix=$1
case $2 in
    32) arch=win32 wine=/usr/lib/wine/wine ;;
    64) arch=win64 wine=/usr/lib/wine/wine64 ;;
    *) echo "boot: 32 or 64, not '$2'" >&2; exit 2 ;;
esac
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$prefix" ] && { WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$prefix"; }
mkdir -p "$(dirname "$prefix")"
prefix=$(realpath -m "$prefix")
if ! WINEPREFIX=$prefix WINEARCH=$arch "$wine" wineboot -i >/dev/null 2>&1; then
    rm -rf "$prefix"
    exit 1
fi
WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
