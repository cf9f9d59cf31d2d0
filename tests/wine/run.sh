#!/usr/bin/env bash
# Runs one Windows build under its own Wine: the unit tests built for that
# Windows, then the end-to-end scenario at 96 and at 144 dpi.
# Usage: tests/wine/run.sh <32|64>   (after scripts/build-windows.sh)
# Exits 77 (skipped) where the kernel runs no 32-bit programs.
set -euo pipefail
cd "$(dirname "$0")/../.."
bits=$1
build=build-win$bits
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine writes file names in the Unix locale's character set; in the POSIX
# locale (a login shell without LANG) the tests' Japanese folders cannot be
# made.
export LC_ALL=C.UTF-8
# SKORREL_WAIT_FOR: a file that is there while the exes are still being built.
if [ -n "${SKORREL_WAIT_FOR:-}" ] && [ -e "$SKORREL_WAIT_FOR" ]; then
    echo "wine: waiting for the Windows builds"
    for ((waited = 0; waited < 600; waited++)); do
        [ -e "$SKORREL_WAIT_FOR" ] || break
        sleep 1
    done
    [ ! -e "$SKORREL_WAIT_FOR" ] || { echo "wine: the Windows builds are not done after 10 minutes" >&2; exit 1; }
fi
[ -f "$build/skorrel.exe" ] || { echo "wine: no $build/skorrel.exe; run scripts/build-windows.sh" >&2; exit 1; }

# Some kernels run no 32-bit programs at all (IA-32 emulation off): the
# 32-bit Wine cannot start there, so the 32-bit exe is only built and
# checked. Any other failure of that Wine is a failure.
if [ "$bits" = 32 ] && ! says=$(/usr/lib/wine/wine --version 2>&1); then
    if grep -q 'Exec format error' <<<"$says"; then
        echo "wine: this kernel runs no 32-bit programs; the 32-bit exe is built and checked, not run"
        exit 77
    fi
    echo "$says" >&2
    exit 1
fi

export WINEPREFIX=$PWD/$build/wine
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
[ -f "$WINEPREFIX/system.reg" ] || tests/wine/boot.sh "$WINEPREFIX" "$bits"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 120
for dpi in 96 144; do
    tests/wine/e2e.sh "$build/skorrel.exe" "$build/tests/win_probe.exe" $dpi \
        2> >(grep -v XGetInputFocus >&2)
done
