#!/usr/bin/env bash
# The Windows builds: 32- and 64-bit skorrel.exe cross-built with MinGW,
# each checked to be one GUI file that imports only what every Windows has,
# then both put in the download ZIP. With --wine, a fresh Wine prefix for
# each is booted beside the builds (build-win32/wine, build-win64/wine),
# ready for tests/wine/run.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

boots=()
if [ "${1:-}" = --wine ]; then
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # The first start of a prefix takes a while: both boot beside the builds.
    # A kernel that runs no 32-bit programs fails the 32-bit boot; the run
    # says so.
    for bits in 32 64; do
        tests/wine/boot.sh "build-win$bits/wine" "$bits" >/dev/null 2>&1 &
        boots+=($!)
    done
fi

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

# The download: both exes and how to play, in one ZIP.
zip=$(scripts/make-zip.sh build-win32/skorrel.exe build-win64/skorrel.exe build-zip)
tests/package/check-zip.sh "$zip" build-win32/skorrel.exe build-win64/skorrel.exe

# A boot that failed leaves no prefix; the run boots again and says why.
for pid in "${boots[@]}"; do wait "$pid" || true; done
