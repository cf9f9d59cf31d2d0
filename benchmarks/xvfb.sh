# Sourced by the X benchmarks: bench_xvfb <display number> [WxH] starts a
# private Xvfb there (stopped on exit) and exports DISPLAY.
bench_xvfb_pid=""
bench_work=$(mktemp -d)
bench_stop() {
  if [ -n "$bench_xvfb_pid" ]; then kill "$bench_xvfb_pid" 2>/dev/null; wait "$bench_xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$bench_work"
}
trap bench_stop EXIT
bench_xvfb() {
  local n=$1 size=${2:-800x600}
  if [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; then
    echo "display :$n is in use" >&2
    return 1
  fi
  Xvfb ":$n" -screen 0 "${size}x24" -nolisten tcp -noreset >"$bench_work/xvfb.log" 2>&1 &
  bench_xvfb_pid=$!
  export DISPLAY=":$n"
  export XDG_RUNTIME_DIR="$bench_work/runtime"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && xdpyinfo >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  cat "$bench_work/xvfb.log" >&2
  return 1
}
