#!/usr/bin/env bash
# With neither an X nor a Wayland display the game says so in one line and
# fails. Usage: no_display.sh GAME
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$1" "$dir/skorrel"
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$dir/skorrel" >"$dir/out" 2>"$dir/err"
status=$?
fail=0
[ "$status" -eq 1 ] || { echo "FAIL: exit status $status, not 1"; fail=1; }
[ "$(cat "$dir/err")" = "skorrel: no X display (DISPLAY is not set)" ] ||
  { echo "FAIL: standard error is not the one line:"; cat "$dir/err"; fail=1; }
[ ! -s "$dir/out" ] || { echo "FAIL: standard output:"; cat "$dir/out"; fail=1; }
[ ! -e "$dir/time_atack.txt" ] || { echo "FAIL: a history file was made"; fail=1; }
[ "$fail" -eq 0 ] && echo "ok: one line, status 1"
exit "$fail"
