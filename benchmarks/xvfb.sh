# Sourced by the X benchmarks: bench_xvfb <display number> [WxH] starts a
# private Xvfb there (stopped on exit) and exports DISPLAY.
bench_xvfb_pid=""
bench_work=$(mktemp -d)
bench_stop() {
  if [ -n "$bench_xvfb_pid" ]; then kill "$bench_xvfb_pid" 2>/dev/null; wait "$bench_xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$bench_work"
}
trap bench_stop EXIT
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/xvfb.sh"
bench_xvfb() {
  local n=$1 size=${2:-800x600}
  SKORREL_X_DISPLAYS=$n skorrel_xvfb "$size" "$bench_work" -noreset || return 1
  bench_xvfb_pid=$XVFB_PID
  export XDG_RUNTIME_DIR="$bench_work/runtime"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
}
