#!/usr/bin/env bash
# The game's and the compositor's CPU in a count-in and a race, and the
# covering surface's commits a second, in sway and mutter at 1920x1080,
# through the Wayland tests' harness and relay (benchmarks/wayland_cpu.py).
# Usage: benchmarks/wayland-cpu.sh <build dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
echo "$(sway --version), mutter $(mutter --version | head -n1 | cut -d' ' -f2), load $(cut -d' ' -f1-3 /proc/loadavg)"
for c in sway mutter; do
  # The harness's own log lines begin with a time in brackets.
  "$here/../tests/wayland/run.sh" "$here/wayland_cpu.py" "$build/skorrel" "$build/benchmarks/bench_x11_probe" \
    "$build/benchmarks/bench_vpointer" --compositor="$c" --size=1920x1080 --rounds=3 | grep -v '^\['
done
echo "load after $(cut -d' ' -f1-3 /proc/loadavg)"
