#!/usr/bin/env bash
# Checks that each Windows exe holds the game's icon as resource 1: the
# icon group of packaging/skorrel.ico, the same sizes and the same pictures.
# Needs wrestool and icotool (icoutils).
# Usage: exe-icon.sh EXE...
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/want/x"
cp "$(dirname "$0")/../../packaging/skorrel.ico" "$work/want/icon.ico"
icotool -x -o "$work/want/x" "$work/want/icon.ico"
want=$(icotool -l "$work/want/icon.ico")
status=0
for exe in "$@"; do
    rm -rf "$work/got" && mkdir -p "$work/got/x"
    wrestool -x --type=14 --name=1 -o "$work/got/icon.ico" "$exe" 2>/dev/null
    if [ ! -s "$work/got/icon.ico" ]; then
        echo "FAIL: $exe holds no icon group 1" >&2
        status=1
        continue
    fi
    got=$(icotool -l "$work/got/icon.ico")
    icotool -x -o "$work/got/x" "$work/got/icon.ico"
    if [ "$got" != "$want" ] || ! diff -r "$work/want/x" "$work/got/x" >/dev/null; then
        echo "FAIL: $exe: its icon 1 is not packaging/skorrel.ico: $(tr '\n' ';' <<<"$got")" >&2
        status=1
    else
        echo "ok: $exe holds icon 1 at $(sed -n 's/.*--width=\([0-9]*\).*/\1/p' <<<"$got" | tr '\n' ' ')px"
    fi
done
exit $status
