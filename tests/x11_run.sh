#!/usr/bin/env bash
# Runs a command against a private Xvfb, then stops everything it started.
# Usage: x11_run.sh [--size WxH] [--wm] [--desktop gnome|kde] [--dpi N] [--ms-gothic] [--probe PATH] -- command...
# The command sees DISPLAY; with --wm an openbox runs on that display; with
# --desktop GNOME Shell or KDE Plasma's KWin (Breeze, its own default screen
# edges), each on a session bus of its own, which the command sees too.
# --ms-gothic: the only font is IPAGothic under the name "ＭＳ ゴシック", as if
# the laid-out face were installed.
# SKORREL_X_DISPLAYS limits the display numbers it may take (scripts/xvfb.sh).
set -euo pipefail

size=800x600 wm=0 desktop="" dpi="" probe="" ms_gothic=0
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --wm) wm=1; shift ;;
    --desktop) desktop=$2; shift 2 ;;
    --dpi) dpi=$2; shift 2 ;;
    --ms-gothic) ms_gothic=1; shift ;;
    --probe) probe=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "x11_run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d)
xvfb_pid="" wm_pid="" desktop_pid="" bus_pids=()
stop() {
  [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null
  # The desktop, the buses and whatever each started, as process groups.
  local g
  for g in $desktop_pid "${bus_pids[@]}"; do kill -- -"$g" 2>/dev/null; done
  for g in $desktop_pid "${bus_pids[@]}"; do
    for _ in $(seq 20); do kill -0 -- -"$g" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- -"$g" 2>/dev/null || true
  done
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap stop EXIT

# A free display (within SKORREL_X_DISPLAYS when set).
. "$(dirname "$0")/../scripts/xvfb.sh"
skorrel_xvfb "$size" "$work" -noreset || exit 1
xvfb_pid=$XVFB_PID
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# A home of its own: openbox's log and D-Bus's autolaunch files (Qt asks
# for the session bus) stay out of the real one.
export HOME="$work/home"
unset XDG_CACHE_HOME XDG_CONFIG_HOME XDG_DATA_HOME
mkdir "$HOME"

if [ "$ms_gothic" = 1 ]; then
  # fontconfig renames the face as it scans it; a cache of our own, so the
  # system's caches (made without the rule) are not used.
  mkdir "$work/fonts"
  ln -s "$(fc-match -f '%{file}' IPAGothic)" "$work/fonts/"
  cat >"$work/fonts.conf" <<EOF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <dir>$work/fonts</dir>
  <cachedir>$work/fontcache</cachedir>
  <match target="scan">
    <test name="family"><string>IPAGothic</string></test>
    <edit name="family" mode="assign_replace"><string>ＭＳ ゴシック</string></edit>
  </match>
</fontconfig>
EOF
  export FONTCONFIG_FILE=$work/fonts.conf
fi

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

if [ -n "$desktop" ]; then
  . "$(dirname "$0")/e2e/desktop-session.sh"
  skorrel_desktop "$desktop" "$work" || exit 1
fi

set +e
"$@"
status=$?
set -e
exit $status
