#!/usr/bin/env bash
# Runs tests/wayland/e2e.py for one compositor as an ordinary user: the
# compositors refuse root, and a player is not root either. As root it
# drops to nobody; binaries and script are copied where that user can
# reach them. Usage: run.sh KIND GAME PROBE [VPOINTER] [--OPTION=VALUE...],
# KIND and options as e2e.py takes them; KIND stress-sway, stress-mutter
# runs stress.py instead, late-sway late_lock.py, and relay COMMITTER
# VPOINTER relay_test.py;
# run.sh SCRIPT.py KIND ... runs SCRIPT.py beside them instead.
set -euo pipefail
# run.sh SCRIPT.py KIND ...: another script of the same harness (a benchmark).
script_path=""
if [[ $1 == *.py ]]; then
  script_path=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  shift
fi
kind=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
args=()
for f in "$@"; do
  if [[ $f == --* ]]; then
    args+=("$f")
    continue
  fi
  cp "$f" "$work/"
  args+=("$work/$(basename "$f")")
done
cp "$here"/*.py "$work/"
script=e2e.py
case $kind in
  relay) script=relay_test.py ;;
  stress-*) script=stress.py ;;
  late-*) script=late_lock.py ;;
esac
if [ -n "$script_path" ]; then
  cp "$script_path" "$work/"
  script=$(basename "$script_path")
fi
shots=${SKORREL_SHOTS:-$work/shots}/wayland
mkdir -p "$shots"

run=(env SKORREL_SHOTS="$shots" TMPDIR="$work")
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody:nogroup "$work" "$shots"
  chmod 755 "$work"
  # Every user's XWayland puts its socket here; one that made the folder
  # itself may have left it closed to the others.
  install -d -m 1777 /tmp/.X11-unix
  chmod 1777 /tmp/.X11-unix
  run=(setpriv --reuid=nobody --regid=nogroup --clear-groups "${run[@]}" HOME="$work")
fi
[[ $kind == *mutter* || $kind == *kwin* ]] && run+=(dbus-run-session --)
"${run[@]}" python3 "$work/$script" "$kind" "${args[@]}"
