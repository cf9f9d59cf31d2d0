#!/usr/bin/env bash
# The README's Wayland picture: the real build/skorrel in a headless sway,
# pressed and counting, with the held pointer; saved as
# docs/skorrel-wayland.png, cut around the window.
# Usage: scripts/screenshot-wayland.sh [OUTPUT.png]   (SKORREL_GAME: another binary)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
output=${1:-$root/docs/skorrel-wayland.png}
game=${SKORREL_GAME:-$root/build/skorrel}
build=$(dirname "$game")
for f in "$game" "$build/tests/x11_probe" "$build/tests/vpointer"; do
  [ -x "$f" ] || { echo "screenshot-wayland: $f is missing; build with ./test first" >&2; exit 1; }
done
. scripts/deps.sh
skorrel_install "${SKORREL_WAYLAND_PACKAGES[@]}" imagemagick fonts-ipafont-gothic

shots=$(mktemp -d "${TMPDIR:-/tmp}/skorrel-shot.XXXXXX")
trap 'rm -rf "$shots"' EXIT
chmod 777 "$shots"
log=$(SKORREL_SHOTS=$shots tests/wayland/run.sh "$game" "$build/tests/x11_probe" "$build/tests/vpointer" \
  --compositor=sway --scenario=picture)
read -r x y w h < <(sed -n 's/^crop //p' <<<"$log")
[ -n "${h:-}" ] || { echo "$log" >&2; exit 1; }
# The one screenshot the picture scenario takes, named after its case.
convert "$shots"/wayland/*-count-in.png -crop "${w}x${h}+${x}+${y}" +repage "$output"
echo "$output"
