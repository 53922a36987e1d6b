#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test in the release and the sanitizer
# (ASan + UBSan) builds, and runs each fuzz target briefly. Any failure stops it with a
# non-zero status.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build test fuzz
for preset in release asan; do
  echo "=== $preset ==="
  cmake --workflow --preset "$preset" --fresh
done
echo "=== fuzz (20 s a target) ==="
fuzz/run.sh 20
echo "=== all tests passed in the release and asan builds; fuzzing found nothing ==="
