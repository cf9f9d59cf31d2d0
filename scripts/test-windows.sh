#!/usr/bin/env bash
# The Windows builds on their own: both exes cross-built and checked, then
# each run under its own Wine (the 32-bit one in a WINEARCH=win32 prefix).
# ./test does the same in two steps: the builds beside the Linux one, the
# runs as ctest cases (wine32, wine64).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
scripts/build-windows.sh --wine
for bits in 32 64; do
    status=0
    tests/wine/run.sh $bits || status=$?
    [ $status = 0 ] || [ $status = 77 ] || exit $status
done
echo "test-windows: passed in $(($(date +%s) - start)) s"
