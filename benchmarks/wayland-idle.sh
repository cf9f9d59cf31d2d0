#!/usr/bin/env bash
# The game's window sitting idle in a Wayland session (sway, headless): CPU
# time and wake-ups over 10 s, against the Qt floor program on the same
# XWayland. The game also has its own Wayland connection open there,
# watched by a socket notifier.
# Usage: benchmarks/wayland-idle.sh <build dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
. "$here/sway.sh"
echo "$(sway --version), load $(cut -d' ' -f1-3 /proc/loadavg)"
bench_sway 1024x768
bench_copy "$build/skorrel" "$build/benchmarks/qt_floor" "$build/benchmarks/bench_vpointer"

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# Context switches of every thread of the process: each one is a wake-up.
switches() { cat /proc/"$1"/task/*/status | awk '/^voluntary_ctxt_switches/ { v += $2 } /^nonvoluntary_ctxt_switches/ { n += $2 } END { print v, n }'; }

# One race in the game: a click on its button, the count-in, then the four
# edges, through a virtual pointer as a player's mouse. Waits until the run
# is recorded.
play_one() {  # play_one <window id>
  local X Y WIDTH HEIGHT WINDOW SCREEN i
  eval "$(bench_run_sub xdotool getwindowgeometry --shell "$1")"
  {
    echo "abs $((X + WIDTH / 5)) $((Y + HEIGHT / 2)) 1024 768"; echo sync; sleep 0.1
    echo click; echo sync; sleep 4.5
    for p in "0 384" "512 0" "1023 384" "512 767"; do echo "abs $p 1024 768"; echo sync; sleep 0.05; done
  } | (bench_run "$bench_work/app/bench_vpointer" >/dev/null)
  for i in $(seq 50); do
    [ -s "$bench_work/app/time_atack.txt" ] && return 0
    sleep 0.1
  done
  echo "the race was not recorded" >&2
  return 1
}

idle() {  # idle <name> <window name pattern> <before> <program>
  local name=$1 pattern=$2 before=$3; shift 3
  (bench_run "$@" >"$bench_work/$name.log" 2>&1) &
  local pid=$!
  local win
  win=$(bench_run_sub xdotool search --sync --onlyvisible --pid "$pid" --name "$pattern" | head -n1)
  [ "$before" = - ] || "$before" "$win"
  sleep 2
  if [ ! -d "/proc/$pid" ]; then
    local status=0
    wait "$pid" || status=$?
    echo "idle_$name: the program is gone (status $status):" >&2
    cat "$bench_work/$name.log" >&2
    return 1
  fi
  local t0 s0 t1 s1 threads wl
  t0=$(ticks "$pid"); s0=$(switches "$pid")
  sleep 10
  t1=$(ticks "$pid"); s1=$(switches "$pid")
  threads=$(ls "/proc/$pid/task" | wc -l)
  # Sockets to the compositor: the game's own connection besides XWayland's.
  wl=$(ls -l "/proc/$pid/fd" 2>/dev/null | grep -c socket || true)
  local sc=""
  if command -v strace >/dev/null; then
    # strace -c prints no table at all when it saw no call.
    sc=$(timeout -s INT 10 strace -f -c -p "$pid" 2>&1 | awk '/attached/ { a = 1 } $NF == "total" { n = $4 } END { if (a) print n + 0 }' || true)
  fi
  kill "$pid"; wait "$pid" 2>/dev/null || true
  read -r v0 n0 <<<"$s0"; read -r v1 n1 <<<"$s1"
  echo "idle_$name threads $threads sockets $wl cpu_ticks_10s $((t1 - t0)) (tick $(getconf CLK_TCK)/s) voluntary_switches_10s $((v1 - v0)) involuntary_switches_10s $((n1 - n0)) syscalls_next_10s ${sc:-n/a}"
}
cd "$bench_work/app"
idle game '^Skorrel  Ver' - "$bench_work/app/skorrel"
# After a race the covering surface is gone but the connection stays.
rm -f "$bench_work/app/time_atack.txt"
idle game_after_race '^Skorrel  Ver' play_one "$bench_work/app/skorrel"
# On XWayland as the game's window is (Qt would take Wayland by itself).
idle floor '^qt_floor$' - env QT_QPA_PLATFORM=xcb "$bench_work/app/qt_floor"
echo "load after $(cut -d' ' -f1-3 /proc/loadavg)"
