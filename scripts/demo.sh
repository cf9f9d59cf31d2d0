#!/usr/bin/env bash
# The game on a virtual display, for machines without one: starts Xvfb,
# runs build/skorrel from a copy, plays one race with xdotool, prints the
# recorded time and a screenshot of the window showing it, then stops.
set -euo pipefail
cd "$(dirname "$0")/.."
game=${SKORREL_GAME:-$PWD/build/skorrel}
[ -x "$game" ] || { echo "demo: $game is missing; build it first" >&2; exit 1; }
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "demo: $tool is missing (see scripts/deps.sh)" >&2; exit 1; }
done

out=$(mktemp -d "${TMPDIR:-/tmp}/skorrel-demo.XXXXXX")
xvfb_pid="" game_pid=""
stop() {
  [ -n "$game_pid" ] && kill "$game_pid" 2>/dev/null && wait "$game_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$out/skorrel" "$out/display" "$out/xvfb.log" "$out/runtime"
}
trap stop EXIT

. scripts/xvfb.sh
skorrel_xvfb 800x600 "$out" || { echo "demo: Xvfb did not start" >&2; exit 1; }
xvfb_pid=$XVFB_PID
export XDG_RUNTIME_DIR="$out/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
echo "Virtual display $DISPLAY, 800x600."

cp "$game" "$out/skorrel"
(cd "$out" && exec ./skorrel) >"$out/game.log" 2>&1 &
game_pid=$!
win=$(timeout 10 xdotool search --sync --onlyvisible --name '^Skorrel  Ver1\.0   by Vesk$' | head -n1) ||
  { echo "demo: the game window did not appear" >&2; cat "$out/game.log" >&2; exit 1; }
sleep 0.3

eval "$(xdotool getwindowgeometry --shell "$win")"
echo "Pressing Race Start; the pointer is held at the centre for the count-in."
xdotool mousemove $((X + 40)) $((Y + 24)) click 1
# The count-in holds the pointer; a move that sticks means "go!".
released=0
for _ in $(seq 400); do
  xdotool mousemove 500 400
  eval "$(xdotool getmouselocation --shell)"
  if [ "$X" = 500 ] && [ "$Y" = 400 ]; then released=1; break; fi
  sleep 0.02
done
[ "$released" = 1 ] || { echo "demo: the pointer was never released" >&2; exit 1; }
echo "go! Sweeping to the right, bottom, left and top edges."
for p in "799 300" "400 599" "0 300" "400 0"; do xdotool mousemove $p; sleep 0.02; done

history=$out/time_atack.txt
for _ in $(seq 100); do [ -s "$history" ] && break; sleep 0.05; done
[ -s "$history" ] || { echo "demo: no time was recorded" >&2; exit 1; }
sleep 0.5
import -window "$win" "$out/window.png"

line=$(tail -n1 "$history" | tr -d '\r')
ms=$(awk '{ print $3 + 0 }' <<<"$line")
echo "Recorded in time_atack.txt: $line"
echo "Race time: $ms ms"
echo "Screenshot of the window: $out/window.png"

# Close the window; the game exits by itself.
xdotool windowclose "$win"
status=0
wait "$game_pid" || status=$?
game_pid=""
echo "The game exited with status $status."
