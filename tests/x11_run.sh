#!/usr/bin/env bash
# Runs a command against a private Xvfb, then stops everything it started.
# Usage: x11_run.sh [--size WxH] [--wm] [--dpi N] [--probe PATH] -- command...
# The command sees DISPLAY; with --wm an openbox runs on that display.
set -euo pipefail

size=800x600 wm=0 dpi="" probe=""
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --wm) wm=1; shift ;;
    --dpi) dpi=$2; shift 2 ;;
    --probe) probe=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "x11_run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d)
xvfb_pid="" wm_pid=""
stop() {
  [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap stop EXIT

# The server picks a free display and writes its number to fd 3.
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; exit 1; }
  sleep 0.05
done
[ -s "$work/display" ] || { echo "x11_run.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

if [ -n "$dpi" ]; then
  [ -n "$probe" ] || { echo "x11_run.sh: --dpi needs --probe" >&2; exit 2; }
  "$probe" dpi "$dpi"
fi
if [ "$wm" = 1 ]; then
  openbox --sm-disable >"$work/openbox.log" 2>&1 &
  wm_pid=$!
  # Up once it has announced itself on the root window.
  for _ in $(seq 100); do
    if [ -n "$probe" ]; then "$probe" wm && break; else xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; fi
    sleep 0.05
  done
fi

set +e
"$@"
status=$?
set -e
exit $status
