#!/usr/bin/env bash
# Regenerates the PNG icons from skorrel.svg (needs rsvg-convert, librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for s in 16 32 48 64 128 256; do rsvg-convert -w "$s" -h "$s" skorrel.svg -o "skorrel-$s.png"; done
