#!/usr/bin/env bash
# The race loop of the 64-bit Windows build under Wine on Xvfb: the pass
# period with the backend's timeBeginPeriod(1). Builds its own MinGW tree
# beside the given build dir (<build dir>-win64).
# Usage: benchmarks/wine-race.sh <build dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:?build dir}
case "$build" in /*) ;; *) build=$root/$build ;; esac
winbuild=${build%/}-win64
. "$root/scripts/deps.sh"
skorrel_install g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
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
cd "$bench_work/app"
/usr/lib/wine/wine64 ./race_bench_win.exe 5 2 | tr -d '\r'
