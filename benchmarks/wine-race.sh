#!/usr/bin/env bash
# The race loop of the 64-bit Windows build under Wine on Xvfb: the pass
# period with the backend's timeBeginPeriod(1), from the wrapped bench exe
# and from skorrel.exe itself (build-win64's when there is one, else ours),
# whose Sleep(1) Wine turns into one pselect6 per pass: perf stamps those.
# Builds its own MinGW tree beside the given build dir (<build dir>-win64).
# Usage: benchmarks/wine-race.sh <build dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:?build dir}
case "$build" in /*) ;; *) build=$root/$build ;; esac
winbuild=${build%/}-win64
. "$root/scripts/deps.sh"
skorrel_install g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 linux-perf
cmake -S "$root" -B "$winbuild" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DSKORREL_BUILD_TESTS=OFF -DSKORREL_BUILD_BENCH=ON >/dev/null
cmake --build "$winbuild" -j2 --target race_bench_win skorrel >/dev/null
. "$here/xvfb.sh"
bench_xvfb 74
export WINEPREFIX=$bench_work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_stop() { /usr/lib/wine/wineserver -k 2>/dev/null || true; bench_stop; }
trap wine_stop EXIT
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
/usr/lib/wine/wineserver -w
mkdir -p "$bench_work/app"
cp "$winbuild/benchmarks/race_bench_win.exe" "$bench_work/app/"
game=$winbuild/skorrel.exe
[ -f "$root/build-win64/skorrel.exe" ] && game=$root/build-win64/skorrel.exe
cp "$game" "$bench_work/app/skorrel.exe"
cd "$bench_work/app"
/usr/lib/wine/wine64 ./race_bench_win.exe 5 2 | tr -d '\r'

# The game itself: press Race Start, wait out the count-in, then stamp the
# Sleep calls of the race loop for 3 s. Wine draws its own frame here.
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
/usr/lib/wine/wine64 ./skorrel.exe >/dev/null 2>&1 &
id=$(xdotool search --sync --onlyvisible --name '^Skorrel' | head -1)
sleep 1
pid=$(xdotool getwindowpid "$id" 2>/dev/null || true)
[ -n "$pid" ] || pid=$(pgrep -n -f "$bench_work/app/skorrel.exe" || true)
eval "$(xdotool getwindowgeometry --shell "$id")"
# The button fills the client area's left, below Wine's caption bar.
xdotool mousemove $((X + 40)) $((Y + HEIGHT - 27)) click 1
sleep 4.5
perf record -q -e syscalls:sys_enter_pselect6 -p "$pid" -o "$bench_work/ps.data" -- sleep 3 >/dev/null 2>&1
perf script -i "$bench_work/ps.data" -F time 2>/dev/null | tr -d ' :' |
  awk 'NR > 1 { print ($1 - p) * 1000 } { p = $1 }' | sort -g |
  awk -v exe="$game" '{ a[NR] = $1 } END {
    printf "wine skorrel.exe (%s) pass_period_ms from pselect6: n %d median %.3f p90 %.3f p99 %.3f\n",
      exe, NR, a[int((NR + 1) / 2)], a[int(NR * 0.9)], a[int(NR * 0.99)] }'
kill "$pid" 2>/dev/null || true
