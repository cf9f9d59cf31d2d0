#!/usr/bin/env bash
# Start-up of the game, exec to its window mapped, against a Qt 6 program
# that shows one empty window, in the same run: with no history and with a
# 100,000-line history beside the exe; and the peak memory of each. The
# same program showing the game's captions (in Qt's default face, and in
# IPAGothic as the game does) tells what text alone costs.
# Usage: benchmarks/x11-startup.sh <build dir> [rounds]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
rounds=${2:-21}
. "$here/xvfb.sh"
bench_xvfb 73
w=$bench_work
mkdir -p "$w/floor" "$w/empty" "$w/big"
cp "$build/benchmarks/qt_floor" "$w/floor/"
cp "$build/skorrel" "$w/empty/"
cp "$build/skorrel" "$w/big/"
"$build/benchmarks/history_bench" gen "$w/big/time_atack.txt" 100000
cat "$w/big/time_atack.txt" >/dev/null
mapwait=$build/benchmarks/mapwait
cd "$w"
kinds=(floor floor_text floor_gothic game_empty game_100k)
run() {  # run <kind>: one start through mapwait
  case $1 in
    floor) "$mapwait" 300 "$w/floor/qt_floor" ;;
    floor_text) "$mapwait" --text 300 "$w/floor/qt_floor" text ;;
    floor_gothic) "$mapwait" --text 300 "$w/floor/qt_floor" gothic ;;
    game_empty) "$mapwait" --text 300 "$w/empty/skorrel" ;;
    game_100k) "$mapwait" --text 300 "$w/big/skorrel" ;;
  esac
}
median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
col() { awk -v k="$1" -v c="$2" '$1 == k { print $c }' "$w/runs"; }

# Warm the page cache and fontconfig's cache first.
for k in "${kinds[@]}"; do run "$k" >/dev/null; done
: >"$w/runs"
for _ in $(seq "$rounds"); do
  for k in "${kinds[@]}"; do echo "$k $(run "$k")" >>"$w/runs"; done
done
declare -A med lo rss cpu txt
for k in "${kinds[@]}"; do
  med[$k]=$(col "$k" 3 | median)
  lo[$k]=$(col "$k" 3 | sort -g | head -1)
  rss[$k]=$(col "$k" 5 | sort -n | tail -1)
  cpu[$k]=$(col "$k" 7 | median)
  txt[$k]=$(col "$k" 9 | median)
  printf 'startup_%s mapped_ms median %s min %s  text_drawn_ms median %s  cpu_ms median %s  peak_rss_kib %s\n' \
    "$k" "${med[$k]}" "${lo[$k]}" "${txt[$k]}" "${cpu[$k]}" "${rss[$k]}"
done
for base in floor floor_text floor_gothic; do
  for k in game_empty game_100k; do
    awk -v b="$base" -v k="$k" -v m="${med[$k]}" -v mb="${med[$base]}" -v l="${lo[$k]}" -v lb="${lo[$base]}" \
        -v c="${cpu[$k]}" -v cb="${cpu[$base]}" -v r="${rss[$k]}" -v rb="${rss[$base]}" \
        -v t="${txt[$k]}" -v tb="${txt[$base]}" 'BEGIN {
      printf "%s/%s mapped median %.3f min %.3f", k, b, m / mb, l / lb
      if (tb > 0) printf "  text drawn median %.3f", t / tb
      printf "  cpu %.3f  rss %+d KiB\n", c / cb, r - rb }'
  done
done

# xdotool's --sync polls every half second, too coarse for the ratio:
# shown once, for the record.
xdo() {  # xdo <pattern> <program> [args]
  local t0 t1 pid pattern=$1; shift
  t0=$(date +%s%N)
  "$@" >/dev/null 2>&1 &
  pid=$!
  xdotool search --sync --onlyvisible --pid "$pid" --name "$pattern" >/dev/null
  t1=$(date +%s%N)
  kill "$pid"; wait "$pid" 2>/dev/null || true
  echo $(( (t1 - t0) / 1000000 ))
}
echo "xdotool_search_sync_ms floor $(xdo '^qt_floor$' "$w/floor/qt_floor") game_empty $(xdo '^Skorrel' "$w/empty/skorrel") game_100k $(xdo '^Skorrel' "$w/big/skorrel")"
