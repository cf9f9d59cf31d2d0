#!/usr/bin/env bash
# Fuzzes the history line parser and scan for a bounded time with clang's
# libFuzzer under ASan and UBSan. Fails on any crash, leak or report.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${SKORREL_FUZZ_SECONDS:-30}
out=build-fuzz
mkdir -p "$out/found"

sources=(fuzz/history_fuzz.cpp history/history.cpp platform/fake/fake.cpp platform/posix/files.cpp platform/posix/userdir.cpp)
target="$out/history_fuzz"
rebuild=0
[ -x "$target" ] || rebuild=1
for f in "${sources[@]}" history/history.h platform/platform.h platform/fake/fake.h common/module1.h; do
  if [ "$f" -nt "$target" ]; then rebuild=1; fi
done
if [ "$rebuild" = 1 ]; then
  echo "Building $target"
  clang++ -std=c++20 -O1 -g -Wall -Wextra -Wpedantic -Werror -I. \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer \
    "${sources[@]}" -o "$target"
fi

# --build-only: the fuzzer built, not run (./test builds it early).
[ "${1:-}" = --build-only ] && exit 0

# New finds go to build-fuzz/found; fuzz/corpus is the kept seed set.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
log="$out/last-run.log"
if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
     -artifact_prefix="$out/" -print_final_stats=1 "$out/found" fuzz/corpus >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "history fuzzing FAILED; see $log and the crash-* file in $out/"
  exit 1
fi
if grep -qE "runtime error|ERROR: (Address|Leak|Undefined)Sanitizer" "$log"; then
  tail -n 60 "$log"
  echo "history fuzzing FAILED: sanitizer report in $log"
  exit 1
fi
grep -E "^stat::number_of_executed_units|^#[0-9]+ *DONE" "$log" || true
echo "history fuzzing passed (${seconds} s)"
