#!/usr/bin/env bash
# Makes every icon of the game from skorrel.svg: the PNGs (installed on
# Linux, and built into the game for its windows) and skorrel.ico (the
# Windows exe's: 16, 24, 32, 48 and 256 px, the last stored as PNG). They
# are kept beside the SVG, so that a build needs neither tool.
# Needs rsvg-convert (librsvg2-bin) and icotool (icoutils).
# Usage: make-icons.sh           writes them here
#        make-icons.sh --check   fails unless the files here are what it makes
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
files=(skorrel-16.png skorrel-32.png skorrel-48.png skorrel-64.png skorrel-128.png skorrel-256.png skorrel.ico)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for s in 16 24 32 48 64 128 256; do
    rsvg-convert -w "$s" -h "$s" "$here/skorrel.svg" -o "$work/skorrel-$s.png"
done
(cd "$work" && icotool -c -o skorrel.ico skorrel-16.png skorrel-24.png skorrel-32.png skorrel-48.png \
    -r skorrel-256.png)

if [ "${1:-}" = --check ]; then
    stale=0
    for f in "${files[@]}"; do
        cmp -s "$work/$f" "$here/$f" || { echo "make-icons: packaging/$f is not what skorrel.svg makes" >&2; stale=1; }
    done
    ((stale)) || echo "make-icons: every icon is what skorrel.svg makes"
    exit $stale
fi
for f in "${files[@]}"; do cp "$work/$f" "$here/$f"; done
