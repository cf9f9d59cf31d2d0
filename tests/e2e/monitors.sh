#!/usr/bin/env bash
# A desktop of two monitors side by side in one X screen (two RandR
# monitors), the primary on the LEFT or the RIGHT; or ONE monitor. During a
# race the primary's edges stop the pointer, the one it shares included;
# after the race it crosses freely. With one monitor nothing holds it during
# the race.
# Usage: monitors.sh SKORREL PROBE LEFT|RIGHT|ONE   (an Xvfb 1600x600 for two)
set -uo pipefail
SKORREL=$1 PROBE=$2 SIDE=$3
SHOTS=${SKORREL_SHOTS:-${TMPDIR:-/tmp}/skorrel-shots}
. "$(dirname "$0")/lib.sh"

driver_begin
read -r RW RH < <(xdotool getdisplaygeometry)
if [ "$SIDE" = ONE ]; then
  PX=0 PW=$RW
else
  PW=$((RW / 2))
  "$PROBE" monitors "$PW" "$RH" "$SIDE" >"$work/monitors" &
  monitors_pid=$!
  trap 'kill "$GAME_PID" "$monitors_pid" 2>/dev/null; rm -rf "$work"' EXIT
  for ((i = 0; i < 100; i++)); do grep -q ready "$work/monitors" && break; sleep 0.05; done
  PX=0
  [ "$SIDE" = RIGHT ] && PX=$PW
fi
log "root ${RW}x${RH}, primary ${PW}x${RH} at $PX,0 ($SIDE)"

start_game "$work" || exit 1
# The primary's measures, in root coordinates.
SW=$PW SH=$RH
CX=$((PX + $(half_even "$PW"))) CY=$(half_even "$RH")
frame
check "window centred on the primary monitor" test "$FX" = $((PX + $(half_even $((PW - FW))))) -a \
  "$FY" = "$(half_even $((RH - FH)))"
L=$PX R=$((PX + PW - 1)) B=$((RH - 1))

click_start
wait_for_go || exit 1
if [ "$SIDE" = ONE ]; then
  check "nothing holds the pointer during the race" bash -c '! "$1" grabbed' _ "$PROBE"
  move $R $((CY + 7)); sleep 0.03
  move $((CX + 5)) 0; sleep 0.03
  move $((CX + 6)) $B; sleep 0.03
  move $L $((CY + 8))
else
  check "nothing grabs the pointer during the race" bash -c '! "$1" grabbed' _ "$PROBE"
  # A push past the shared edge, as a mouse moves (warps pass the fence):
  # stopped on it, and the touch counts.
  move $CX $((CY + 7))
  if [ "$SIDE" = LEFT ]; then
    xdotool mousemove_relative -- $((PW / 2 + 300)) 0; sleep 0.03
    check "stopped at the shared right edge" pointer_at $R $((CY + 7))
  else
    xdotool mousemove_relative -- $((-PW / 2 - 300)) 0; sleep 0.03
    check "stopped at the shared left edge" pointer_at $L $((CY + 7))
  fi
  move $((CX + 5)) 0; sleep 0.03
  move $((CX + 6)) $B; sleep 0.03
  if [ "$SIDE" = LEFT ]; then move $L $((CY + 8)); else move $R $((CY + 8)); fi
fi
wait_lines 1 || fail "no record after the four edges of the primary"
sleep 0.3
shot "monitors-$SIDE"
if [ "$SIDE" != ONE ]; then
  move $CX $CY
  if [ "$SIDE" = LEFT ]; then xdotool mousemove_relative -- "$PW" 0; else xdotool mousemove_relative -- "-$PW" 0; fi
  other=$((PX == 0 ? CX + PW : CX - PW))
  check "after the race the pointer crosses to the other monitor" pointer_at $other $CY
fi
close_game

if ((failures)); then echo "$failures check(s) failed" >&2; exit 1; fi
log "all checks passed"
