#!/usr/bin/env bash
# The Windows builds: 32- and 64-bit skorrel.exe cross-built with MinGW and
# each run under its own Wine (the 32-bit one in a WINEARCH=win32 prefix):
# the unit tests, then the end-to-end scenario at 96 and at 144 dpi.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine writes file names in the Unix locale's character set; in the POSIX
# locale (a login shell without LANG) the tests' Japanese folders cannot be
# made.
export LC_ALL=C.UTF-8
prefix32=$(mktemp -d -t skorrel-wine32.XXXXXX)
prefix64=$(mktemp -d -t skorrel-wine64.XXXXXX)
cleanup() {
    local p
    for p in "$prefix32" "$prefix64"; do
        WINEPREFIX=$p /usr/lib/wine/wineserver -k 2>/dev/null || true
        rm -rf "$p"
    done
}
trap cleanup EXIT
# The first start of a prefix takes a while: both boot beside the builds,
# and are ready once their first server has gone.
boot() {  # <prefix> <arch> <loader>
    WINEPREFIX=$1 WINEARCH=$2 "$3" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX=$1 /usr/lib/wine/wineserver -w
}
# Some kernels run no 32-bit programs at all (IA-32 emulation off): the
# 32-bit Wine cannot start there, so the 32-bit exe is built and checked
# but not run. Any other failure of that Wine is a failure.
bits_run=(32 64)
if ! wine32_says=$(/usr/lib/wine/wine --version 2>&1); then
    if grep -q 'Exec format error' <<<"$wine32_says"; then
        bits_run=(64)
        echo "test-windows: this kernel runs no 32-bit programs; the 32-bit exe is built and checked, not run"
    else
        echo "$wine32_says" >&2
        exit 1
    fi
fi
boots=()
if [ "${bits_run[0]}" = 32 ]; then
    boot "$prefix32" win32 /usr/lib/wine/wine &
    boots+=($!)
fi
boot "$prefix64" win64 /usr/lib/wine/wine64 &
boots+=($!)

cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKORREL_BUILD_TESTS=ON >/dev/null
cmake --build build-win32 -j2
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKORREL_BUILD_TESTS=ON >/dev/null
cmake --build build-win64 -j2

# One file each, importing only what every Windows has.
check_pe() {  # <exe> <objdump> <format>
    local dump dlls bad
    dump=$("$2" -p "$1")
    grep -q "file format $3" <<<"$dump" || { echo "$1: not $3" >&2; return 1; }
    grep -q "Subsystem.*Windows GUI" <<<"$dump" || { echo "$1: not a GUI program" >&2; return 1; }
    dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | tr '[:lower:]' '[:upper:]' | sort -u)
    bad=$(grep -Ev '^(KERNEL32|USER32|GDI32|WINMM|COMCTL32|MSVCRT|UCRTBASE|API-MS-WIN-[A-Z0-9-]+)\.DLL$' <<<"$dlls" || true)
    [ -z "$bad" ] || { echo "$1 needs DLLs beside it: $bad" >&2; return 1; }
    echo "$1: $3, imports $(tr '\n' ' ' <<<"$dlls")"
}
check_pe build-win32/skorrel.exe i686-w64-mingw32-objdump pei-i386
check_pe build-win64/skorrel.exe x86_64-w64-mingw32-objdump pei-x86-64
tests/package/exe-icon.sh build-win32/skorrel.exe build-win64/skorrel.exe

wait "${boots[@]}"
for bits in "${bits_run[@]}"; do
    prefix=prefix$bits
    WINEPREFIX=${!prefix} ctest --test-dir build-win$bits --output-on-failure -j2 --timeout 120
    for dpi in 96 144; do
        WINEPREFIX=${!prefix} tests/wine/e2e.sh build-win$bits/skorrel.exe build-win$bits/tests/win_probe.exe $dpi \
            2> >(grep -v XGetInputFocus >&2)
    done
done
# The download: both exes and how to play, in one ZIP.
zip=$(scripts/make-zip.sh build-win32/skorrel.exe build-win64/skorrel.exe build-zip)
tests/package/check-zip.sh "$zip" build-win32/skorrel.exe build-win64/skorrel.exe
echo "test-windows: passed in $(($(date +%s) - start)) s"
