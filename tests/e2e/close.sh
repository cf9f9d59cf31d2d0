#!/usr/bin/env bash
# Closing the window during the count-in and during the race, or having it
# destroyed: the game exits with status 0, lets go of the pointer and
# writes nothing.
# Usage: close.sh SKORREL PROBE TAG
set -uo pipefail
SKORREL=$1 PROBE=$2 TAG=$3
SHOTS=${SKORREL_SHOTS:-${TMPDIR:-/tmp}/skorrel-shots}
. "$(dirname "$0")/lib.sh"

driver_begin
log "screen $(xdotool getdisplaygeometry), window manager: $wm"
# A history to keep unchanged.
printf '2026/01/02 03:04:05 1234 ms\r\n2026/01/02 03:05:06 0987 ms\r\n' >"$work/time_atack.txt"

start_game "$work" || exit 1
before=$(digest)
click_start
sleep 1.3
check "held during the count-in" in_square
close_game
check "pointer free after a close during the count-in" pointer_free
check "file unchanged after a close during the count-in" test "$(digest)" = "$before"

start_game "$work" || exit 1
click_start
wait_for_go || exit 1
move $((SW - 1)) $CY; sleep 0.03
move $CX 0; sleep 0.03
shot "$TAG-racing-before-close"
close_game
check "pointer free after a close during the race" pointer_free
check "file unchanged after a close during the race" test "$(digest)" = "$before"

# The window destroyed from outside, not asked to close: the same.
start_game "$work" || exit 1
click_start
wait_for_go || exit 1
xdotool windowclose "$WIN"
ends_with_zero "the window was destroyed"
check "pointer free after the window was destroyed" pointer_free
check "file unchanged after the window was destroyed" test "$(digest)" = "$before"

if ((failures)); then echo "$failures check(s) failed" >&2; exit 1; fi
log "all checks passed"
