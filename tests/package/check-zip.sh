#!/usr/bin/env bash
# Checks the Windows ZIP from scripts/make-zip.sh: exactly the two builds
# and the how-to-play text, the right exe in each folder, each one the
# build it came from with the game's icon, the text as Windows UTF-8 with
# CR LF.
# Usage: check-zip.sh ZIP WIN32_EXE WIN64_EXE
set -uo pipefail
zip=$(realpath "$1") exe32=$2 exe64=$3
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then echo "ok: $what"; else fail "$what"; fi; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
listing=$(cmake -E tar tf "$zip" | sed 's|/$||' | sort) || { echo "FAIL: cannot read $zip" >&2; exit 1; }
want=$(printf '%s\n' LICENSE.txt README.txt skorrel-win32 skorrel-win32/skorrel.exe skorrel-win64 skorrel-win64/skorrel.exe | sort)
check "ZIP holds LICENSE.txt, README.txt, skorrel-win32/skorrel.exe, skorrel-win64/skorrel.exe and nothing else" \
    test "$listing" = "$want"
[ "$listing" = "$want" ] || diff <(echo "$want") <(echo "$listing") >&2

(cd "$work" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
check "LICENSE.txt is the project's licence, in Windows lines" \
    bash -c 'diff <(tr -d "\r" <"$1") "$2" >/dev/null && grep -q $'"'"'\r$'"'"' "$1"' _ "$work/LICENSE.txt" "$(dirname "$0")/../../LICENSE"
# Each folder holds the build it is named for, a Windows GUI program...
pe() {  # <exe> <objdump> <format>
    local dump
    dump=$("$2" -p "$1") || return 1
    grep -q "file format $3" <<<"$dump" && grep -q "Subsystem.*Windows GUI" <<<"$dump"
}
check "skorrel-win32/skorrel.exe is a 32-bit GUI program" \
    pe "$work/skorrel-win32/skorrel.exe" i686-w64-mingw32-objdump pei-i386
check "skorrel-win64/skorrel.exe is a 64-bit GUI program" \
    pe "$work/skorrel-win64/skorrel.exe" x86_64-w64-mingw32-objdump pei-x86-64
# ...and is that build with only its symbols and debug data taken out.
same_code() {  # <zipped> <built> <prefix>
    local sec
    for sec in .text .rdata .data; do
        "$3-objcopy" -O binary -j "$sec" "$1" "$work/a" && "$3-objcopy" -O binary -j "$sec" "$2" "$work/b" &&
            [ -s "$work/a" ] && cmp -s "$work/a" "$work/b" || { echo "$1: $sec differs from $2" >&2; return 1; }
    done
}
check "the 32-bit exe has the code of $exe32" same_code "$work/skorrel-win32/skorrel.exe" "$exe32" i686-w64-mingw32
check "the 64-bit exe has the code of $exe64" same_code "$work/skorrel-win64/skorrel.exe" "$exe64" x86_64-w64-mingw32
check "both exes wear the game's icon" "$(dirname "$0")/exe-icon.sh" "$work/skorrel-win32/skorrel.exe" \
    "$work/skorrel-win64/skorrel.exe"
check "no debug data in the ZIP's exes" \
    bash -c '! i686-w64-mingw32-objdump -h "$1" | grep -q debug_ && ! x86_64-w64-mingw32-objdump -h "$2" | grep -q debug_' \
    _ "$work/skorrel-win32/skorrel.exe" "$work/skorrel-win64/skorrel.exe"

text=$work/README.txt
check "README.txt starts with the UTF-8 BOM" test "$(head -c3 "$text" | od -An -tx1 | tr -d ' ')" = efbbbf
check "README.txt is valid UTF-8" bash -c 'iconv -f UTF-8 -t UTF-8 "$1" >/dev/null' _ "$text"
check "every line of README.txt ends in CR LF" \
    bash -c '[ "$(grep -c "" "$1")" -gt 10 ] && [ "$(grep -c $'"'"'\r$'"'"' "$1")" = "$(grep -c "" "$1")" ] && [ "$(tail -c1 "$1" | od -An -c | tr -d " ")" = "\n" ]' \
    _ "$text"
check "README.txt tells how to play" bash -c 'grep -q "Race Start" "$1" && grep -q "skorrel-win32" "$1" && grep -q "skorrel-win64" "$1"' _ "$text"

if ((failures)); then echo "check-zip: $failures check(s) failed" >&2; exit 1; fi
echo "check-zip: $(basename "$zip"), $(stat -c %s "$zip") bytes: passed"
