#!/usr/bin/env bash
# The download for Windows: both builds, stripped, each in its own folder,
# and packaging/windows/README.txt as Windows text (UTF-8 with a BOM so
# every Notepad reads the Japanese, CR LF) and the licence. Prints the ZIP's
# path.
# Usage: make-zip.sh [WIN32_EXE [WIN64_EXE [OUT_DIR]]]
#   defaults: build-win32/skorrel.exe build-win64/skorrel.exe build-zip
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
skorrel_install cmake binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 >&2

exe32=$(realpath "${1:-build-win32/skorrel.exe}")
exe64=$(realpath "${2:-build-win64/skorrel.exe}")
out=${3:-build-zip}
for exe in "$exe32" "$exe64"; do
    [ -f "$exe" ] || { echo "make-zip: $exe is missing; build it first" >&2; exit 1; }
done
version=$(sed -nE 's/^project\(skorrel VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "make-zip: no version in CMakeLists.txt" >&2; exit 1; }

mkdir -p "$out"
out=$(realpath "$out")
name=skorrel-$version-windows
stage=$out/$name.stage
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage/skorrel-win32" "$stage/skorrel-win64"
i686-w64-mingw32-strip -o "$stage/skorrel-win32/skorrel.exe" "$exe32"
x86_64-w64-mingw32-strip -o "$stage/skorrel-win64/skorrel.exe" "$exe64"
{ printf '\357\273\277'; sed 's/\r$//; s/$/\r/' packaging/windows/README.txt; } >"$stage/README.txt"
# The licence asks for its notice in every copy.
sed 's/\r$//; s/$/\r/' LICENSE >"$stage/LICENSE.txt"
(cd "$stage" && cmake -E tar cf "$out/$name.zip" --format=zip LICENSE.txt README.txt skorrel-win32 skorrel-win64)
rm -rf "$stage"
echo "$out/$name.zip"
