#!/usr/bin/env bash
# The game's and the compositor's CPU in a count-in and a race, and the
# client's commits a second, beside the floor client's (the least a client
# can do to show the same), in sway and mutter at 1920x1080 and mutter at
# 2x; then the floor client with one thing taken away at a time, in mutter.
# Through the Wayland tests' harness and relay (benchmarks/wayland_cpu.py).
# Usage: benchmarks/wayland-cpu.sh <build dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
echo "$(sway --version), mutter $(mutter --version | head -n1 | cut -d' ' -f2), load $(cut -d' ' -f1-3 /proc/loadavg)"
run() {
  # The harness's own log lines begin with a time in brackets.
  "$here/../tests/wayland/run.sh" "$here/wayland_cpu.py" "$build/skorrel" "$build/benchmarks/bench_x11_probe" \
    "$build/benchmarks/bench_vpointer" --floor="$build/benchmarks/bench_wayland_floor" --size=1920x1080 "$@" |
    grep -v '^\['
}
run --compositor=sway --rounds=3
run --compositor=mutter --rounds=3
run --compositor=mutter --rounds=3 --scale=2
run --compositor=mutter --rounds=2 --variants
echo "load after $(cut -d' ' -f1-3 /proc/loadavg)"
