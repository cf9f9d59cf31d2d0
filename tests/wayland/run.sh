#!/usr/bin/env bash
# Runs tests/wayland/e2e.py, one case, as an ordinary user: the compositors
# refuse root, and a player is not root either. As root it drops to nobody;
# binaries and scripts are copied where that user can reach them.
# Usage: run.sh [SCRIPT.py] GAME PROBE VPOINTER --compositor=NAME [--FLAG[=VALUE]...],
# the flags as e2e.py takes them (e2e.py --help), a file a flag names copied
# too; SCRIPT.py, another script
# of the same harness (a benchmark), runs instead of e2e.py.
# run.sh relay COMMITTER VPOINTER runs relay_test.py.
set -euo pipefail
script=e2e.py
script_path=""
if [[ $1 == *.py ]]; then
  script_path=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  shift
fi
args=()
if [ "$1" = relay ]; then
  script=relay_test.py
  args=(relay)
  shift
fi
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
# SKORREL_KEEP keeps the case's folder, logs and all, for a look afterwards.
if [ -n "${SKORREL_KEEP:-}" ]; then
  trap 'echo "run.sh: kept $work" >&2' EXIT
else
  trap 'rm -rf "$work"' EXIT
fi
bus=no
for f in "$@"; do
  if [[ $f == --*=* && -f ${f#*=} ]]; then
    # A flag that names a file: the file too.
    cp "${f#*=}" "$work/"
    args+=("${f%%=*}=$work/$(basename "${f#*=}")")
    continue
  fi
  if [[ $f == --* ]]; then
    args+=("$f")
    # mutter and KWin want a session bus of their own.
    [[ $f == --compositor=mutter || $f == --compositor=kwin ]] && bus=yes
    continue
  fi
  cp "$f" "$work/"
  args+=("$work/$(basename "$f")")
done
cp "$here"/*.py "$work/"
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
[ $bus = yes ] && run+=(dbus-run-session --)
"${run[@]}" python3 "$work/$script" "${args[@]}"
