#!/usr/bin/env bash
# Runs tests/wayland/e2e.py for one compositor as an ordinary user: the
# compositors refuse root, and a player is not root either. As root it
# drops to nobody; binaries and script are copied where that user can
# reach them. Usage: run.sh KIND GAME PROBE [VPOINTER], KIND as e2e.py takes it,
# or run.sh relay COMMITTER VPOINTER for relay_test.py,
# or run.sh stress-sway|stress-mutter GAME PROBE [VPOINTER] for stress.py
set -euo pipefail
kind=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
args=()
for f in "$@"; do
  cp "$f" "$work/"
  args+=("$work/$(basename "$f")")
done
cp "$here"/*.py "$work/"
script=e2e.py
case $kind in
  relay) script=relay_test.py ;;
  stress-*) script=stress.py kind=${kind#stress-} ;;
esac
shots=${SKORREL_SHOTS:-$work/shots}/wayland
mkdir -p "$shots"

run=(env SKORREL_SHOTS="$shots" TMPDIR="$work")
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody:nogroup "$work" "$shots"
  chmod 755 "$work"
  run=(setpriv --reuid=nobody --regid=nogroup --clear-groups "${run[@]}" HOME="$work")
fi
[[ $kind == mutter* ]] && run+=(dbus-run-session --)
"${run[@]}" python3 "$work/$script" "$kind" "${args[@]}"
