#!/usr/bin/env bash
# The game's race loop in a Wayland session (sway, headless): the game's own
# covering surface sees the pointer, moved by a wlroots virtual pointer.
# Pass period, detection latency, shortest stay on an edge that is always
# seen, and the CPU a race costs.
# Usage: benchmarks/wayland-race.sh <build dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
. "$here/sway.sh"
echo "$(sway --version), load $(cut -d' ' -f1-3 /proc/loadavg)"
bench_sway 1024x768
bench_copy "$build/benchmarks/race_bench_wayland"
cd "$bench_work/app"
(bench_run "$bench_work/app/race_bench_wayland" 300 100)
echo "load after $(cut -d' ' -f1-3 /proc/loadavg)"
