#!/usr/bin/env bash
# Drives skorrel.exe under Wine on its own Xvfb: a new best, a run over ten
# seconds, and a close during a race.
# Usage: tests/wine/e2e.sh <skorrel.exe>; WINEPREFIX must be set up.
set -euo pipefail
exe=$(realpath "$1")
: "${WINEPREFIX:?}"
export WINEDEBUG=-all
wine=/usr/lib/wine/wine64
shots=${SKORREL_SHOTS:-$(dirname "$exe")/shots}  # beside the exe: its build folder
mkdir -p "$shots"

work=$(mktemp -d /tmp/skorrel-e2e.XXXXXX)
xvfb_pid="" game_pid=""
cleanup() {
    [ -n "$game_pid" ] && kill "$game_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "e2e FAIL: $*" >&2; [ -n "${DISPLAY:-}" ] && import -window root "$shots/wine-failure.png" 2>/dev/null; exit 1; }
step() { echo "e2e: $*"; }

display=:$((60 + RANDOM % 30))
while [ -e "/tmp/.X11-unix/X${display#:}" ]; do display=:$((60 + RANDOM % 30)); done
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
# No window manager here: Wine draws the frames itself.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1

# A folder with Japanese letters and a space: the paths go through UTF-16.
dir="$work/ゲーム フォルダ"
mkdir -p "$dir"
cp "$exe" "$dir/skorrel.exe"
history="$dir/time_atack.txt"
printf '2020/01/01 00:00:00 9999 ms\r\n' >"$history"

"$wine" "$dir/skorrel.exe" &
game_pid=$!

find_window() {  # <title> <tries of 0.1 s>
    local id
    for _ in $(seq "$2"); do
        id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}
# No window manager gives the box the keyboard: click its OK button.
dismiss() {  # <window id>
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")"
    for _ in 1 2 3; do
        xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 23))
        sleep 0.2
        xdotool click 1
        sleep 0.5
        xdotool getwindowname "$1" >/dev/null 2>&1 || return 0
    done
}
where() { xdotool getmouselocation | sed 's/ screen.*//'; }

form=$(find_window "Skorrel  Ver1.0   by Vesk" 600) || fail "no main window"
eval "$(xdotool getwindowgeometry --shell "$form")"
step "main window at $X,$Y size ${WIDTH}x$HEIGHT"
# Centred: (800 - w) / 2 and (600 - h) / 2, a half to the even neighbour.
[ $((2 * X - (800 - WIDTH))) -ge -1 ] && [ $((2 * X - (800 - WIDTH))) -le 1 ] || fail "not centred across: $X"
[ $((2 * Y - (600 - HEIGHT))) -ge -1 ] && [ $((2 * Y - (600 - HEIGHT))) -le 1 ] || fail "not centred down: $Y"
# The button fills the client area's left 89 pixels and its full height.
button_x=$((X + 40)) button_y=$((Y + HEIGHT - 15))
close_x=$((X + WIDTH - 12)) close_y=$((Y + 11))
sleep 0.5

edges() {  # right, bottom, left, then top after an optional pause
    for p in "799 300" "400 599" "0 300"; do xdotool mousemove $p; sleep 0.15; done
    sleep "${1:-0}"
    xdotool mousemove 400 0
}

# 1: a run under 9999 ms beats the seeded best.
step "race 1: a new best"
xdotool mousemove "$button_x" "$button_y" click 1
sleep 0.4
[ "$(where)" = "x:399 y:299" ] || fail "pointer not parked at 399,299: $(where)"
xdotool mousemove 10 10
sleep 0.3
case "$(where)" in
    "x:39"[89]" y:29"[89]) ;;
    *) fail "pointer left the 2x2 square during the count-in: $(where)" ;;
esac
import -window root "$shots/wine-countin.png"
sleep 3.3
edges
box=$(find_window "Skorrel 記録更新" 50) || fail "no new-record box"
sleep 0.3
import -window root "$shots/wine-record.png"
[ "$(wc -l <"$history")" -eq 1 ] || fail "record written before the box was dismissed"
dismiss "$box"
for _ in $(seq 30); do [ "$(wc -l <"$history")" -eq 2 ] && break; sleep 0.1; done
[ "$(wc -l <"$history")" -eq 2 ] || fail "no record appended"
line=$(tail -n 1 "$history")
[[ "$line" =~ ^[0-9]{4}/[0-9]{2}/[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}\ [0-9]+\ ms$'\r'$ ]] || fail "bad record line: $(printf %q "$line")"
[ "$(grep -c $'\r$' "$history")" -eq 2 ] || fail "lines not ended by CR LF"
ms=$(echo "$line" | cut -d' ' -f3)
step "recorded ${ms#0} ms: $(printf %q "$line")"
[ "${ms#0}" -lt 9999 ] || fail "run not faster than the seeded best"
sleep 0.5
import -window root "$shots/wine-after-record.png"

# 2: a run over ten seconds is refused and leaves the file alone.
step "race 2: over ten seconds"
before=$(md5sum <"$history")
xdotool mousemove "$button_x" "$button_y" click 1
sleep 3.8
edges 10.3
box=$(find_window "Project1" 50) || fail "no over-ten-seconds box titled Project1"
sleep 0.3
import -window root "$shots/wine-over-ten.png"
dismiss "$box"
sleep 0.5
[ "$(md5sum <"$history")" = "$before" ] || fail "refused run changed the history"
find_window "Project1" 5 >/dev/null && fail "box still open"

# 3: closing the window during a race ends the program with status 0.
step "race 3: closed during the race"
xdotool mousemove "$button_x" "$button_y" click 1
sleep 4.2
xdotool mousemove "$close_x" "$close_y" click 1
status=0
for _ in $(seq 50); do kill -0 "$game_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$game_pid" 2>/dev/null && fail "still running after the close"
wait "$game_pid" || status=$?
game_pid=""
[ "$status" -eq 0 ] || fail "exit status $status"
[ "$(md5sum <"$history")" = "$before" ] || fail "closing changed the history"
xdotool mousemove 10 10
[ "$(where)" = "x:10 y:10" ] || fail "pointer still held after exit"
step "all passed"
