#!/usr/bin/env bash
# The game's race loop on the Linux backend under Xvfb, the pointer moved
# through XTest: pass period, detection latency, shortest stay on an edge
# that is always seen, and the CPU a race costs.
# Usage: benchmarks/x11-race.sh <build dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
. "$here/xvfb.sh"
bench_xvfb 71
cd "$bench_work"
"$build/benchmarks/race_bench" 300 100
