#!/usr/bin/env bash
# The history scan against awk on the same file, its memory with 1,000 and
# 10,000,000 lines, and the append cost on an empty and a 1,000,000-line file.
set -euo pipefail
bin=${1:?history_bench binary}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{small,big,huge,empty,bigappend}
"$bin" gen "$work/small/time_atack.txt" 1000
"$bin" gen "$work/big/time_atack.txt" 1000000
"$bin" gen "$work/huge/time_atack.txt" 10000000

best_of() {  # best wall time in ms of a command, over 5 runs
  local best=
  for _ in 1 2 3 4 5; do
    local t0 t1
    t0=$(date +%s%N); "$@" >/dev/null; t1=$(date +%s%N)
    local ms=$(( (t1 - t0) / 1000 ))
    [ -z "$best" ] || [ "$ms" -lt "$best" ] && best=$ms
  done
  printf '%d.%03d' $((best / 1000)) $((best % 1000))
}
cat "$work/big/time_atack.txt" >/dev/null  # into the page cache

scan=$("$bin" scan "$work/big" 5)
scan_ms=$(sed -E 's/.*scan_ms=([0-9.]+).*/\1/' <<<"$scan")
awk_prog='{ v = $3 + 0; if (b == 0) b = v; if (v < b) b = v; l = v } END { print b, l }'
awk_ms=$(best_of awk "$awk_prog" "$work/big/time_atack.txt")
ours=$(sed -E 's/.*best=([0-9]+) last=([0-9]+).*/\1 \2/' <<<"$scan")
theirs=$(awk "$awk_prog" "$work/big/time_atack.txt")
[ "$ours" = "$theirs" ] || { echo "scan disagrees with awk: $ours vs $theirs"; exit 1; }
small_rss=$("$bin" scan "$work/small" 1 | sed -E 's/.*maxrss_kib=([0-9]+).*/\1/')
huge_rss=$("$bin" scan "$work/huge" 1 | sed -E 's/.*maxrss_kib=([0-9]+).*/\1/')

cp "$work/big/time_atack.txt" "$work/bigappend/"
# Flush the copy first, or the first fsync pays for writing all of it.
sync
"$bin" append "$work/empty" 5 >/dev/null
"$bin" append "$work/bigappend" 5 >/dev/null
empty_each=$("$bin" append "$work/empty" 200 | sed 's/.*=//')
big_each=$("$bin" append "$work/bigappend" 200 | sed 's/.*=//')

printf '%-44s %14s %14s %s\n' "measure" "value" "target" ""
printf '%-44s %14s %14s\n' "scan 1,000,000 lines (ms, best of 5)" "$scan_ms" ""
printf '%-44s %14s %14s\n' "awk on the same file (ms, best of 5)" "$awk_ms" ""
printf '%-44s %14s %14s\n' "scan / awk" "$(awk -v a="$scan_ms" -v b="$awk_ms" 'BEGIN{printf "%.3f", a/b}')" "<= 0.2"
printf '%-44s %14s %14s\n' "peak RSS, 1,000 lines (KiB)" "$small_rss" ""
printf '%-44s %14s %14s\n' "peak RSS, 10,000,000 lines (KiB)" "$huge_rss" "+1024 at most"
printf '%-44s %14s %14s\n' "append to an empty file (ms each)" "$empty_each" ""
printf '%-44s %14s %14s\n' "append to 1,000,000 lines (ms each)" "$big_each" ""
printf '%-44s %14s %14s\n' "append ratio" "$(awk -v a="$big_each" -v b="$empty_each" 'BEGIN{printf "%.3f", a/b}')" "<= 1.5"
