#!/usr/bin/env bash
# Start-up of the game, exec to its window mapped, against a Qt 6 program
# that shows the same three widgets with the same texts in IPAGothic (the
# floor), in the same run: with no history and with a 1,000,000-line
# history beside the exe; the time to the first text drawn and the peak
# memory of each.
# Usage: benchmarks/x11-startup.sh <build dir> [rounds]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
rounds=${2:-15}
. "$here/xvfb.sh"
bench_xvfb 73
w=$bench_work
mkdir -p "$w/floor" "$w/empty" "$w/big"
cp "$build/benchmarks/qt_floor" "$w/floor/"
cp "$build/skorrel" "$w/empty/"
cp "$build/skorrel" "$w/big/"
"$build/benchmarks/history_bench" gen "$w/big/time_atack.txt" 1000000
cat "$w/big/time_atack.txt" >/dev/null
mapwait=$build/benchmarks/mapwait
cd "$w"
kinds=(floor game_empty game_1m)
run() {  # run <kind>: one start through mapwait
  case $1 in
    floor) "$mapwait" --text 300 "$w/floor/qt_floor" gothic ;;
    game_empty) "$mapwait" --text 300 "$w/empty/skorrel" ;;
    game_1m) "$mapwait" --text 300 "$w/big/skorrel" ;;
  esac
}
median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
col() { awk -v k="$1" -v c="$2" '$1 == k { print $c }' "$w/runs"; }

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
# Warm the page cache and fontconfig's cache first.
for k in "${kinds[@]}"; do run "$k" >/dev/null; done
: >"$w/runs"
for _ in $(seq "$rounds"); do
  for k in "${kinds[@]}"; do echo "$k $(run "$k")" >>"$w/runs"; done
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
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
ratio() {  # ratio <kind> <base> <target>
  awk -v k="$1" -v b="$2" -v m="${med[$1]}" -v mb="${med[$2]}" -v l="${lo[$1]}" -v lb="${lo[$2]}" \
      -v c="${cpu[$1]}" -v cb="${cpu[$2]}" -v r="${rss[$1]}" -v rb="${rss[$2]}" \
      -v t="${txt[$1]}" -v tb="${txt[$2]}" -v want="$3" 'BEGIN {
    printf "%s/%s mapped median %.3f (target <= %s) min %.3f", k, b, m / mb, want, l / lb
    if (tb > 0) printf "  text drawn median %.3f", t / tb
    printf "  cpu %.3f  rss %+d KiB\n", c / cb, r - rb }'
}
ratio game_empty floor 1.15
ratio game_1m game_empty 1.25
