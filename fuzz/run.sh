#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for SECONDS (default 20),
# starting from the seed corpus in fuzz/corpus/<target>. Stops with a non-zero status on the
# first crash, leak, sanitizer report or broken invariant; the input that did it is left in
# build/fuzz/ as crash-*, leak-* or timeout-*.
set -euo pipefail
seconds=${1:-20}
cd "$(dirname "$0")/.."
scripts/install-deps.sh build fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
for target in ascii_grid raster_descriptor answers; do
  work=build/fuzz/corpus/$target
  mkdir -p "$work"
  echo "=== fuzz_$target for ${seconds}s"
  log=build/fuzz/fuzz_$target.log
  status=0
  (cd build/fuzz && ./fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
     -print_final_stats=1 "../../$work" "../../fuzz/corpus/$target") >"$log" 2>&1 || status=$?
  grep -E '(INITED|DONE)|stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz_$target failed (status $status); the input is in build/fuzz/" >&2
    exit 1
  fi
done
