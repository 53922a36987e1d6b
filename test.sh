#!/usr/bin/env bash
# Installs what is missing, checks the layering and the formatting, then builds and runs every
# test in the release, sanitizer (ASan + UBSan) and ThreadSanitizer builds, runs clang-tidy over
# the sources, builds the Windows program and runs its tests under Wine, makes and checks the
# Debian package and the Windows zip, and runs each fuzz target briefly. Any failure stops it
# with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build test fuzz windows
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}

echo "=== layers and formatting ==="
scripts/check-layers.sh
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "clang-format: every source file is formatted"

for preset in release asan tsan; do
  echo "=== $preset ==="
  cmake --workflow --preset "$preset" --fresh
  if [ "$preset" = release ]; then
    echo "=== clang-tidy (.clang-tidy's checks over src/) ==="
    run-clang-tidy -p build/release -quiet "$PWD/src/" >build/clang-tidy.log 2>&1 ||
      { grep -E "error:|warning:" build/clang-tidy.log >&2; exit 1; }
    echo "clang-tidy: nothing found"
  fi
done
echo "=== windows: cross-built, tested under Wine beside the release build's program, zipped ==="
cmake --workflow --preset windows --fresh
zip=$(ls build/windows/terrapivoter-*-win64.zip)
listing=$(python3 -m zipfile -l "$zip")
for member in terrapivoter.exe README.md LICENSE samples/volcano_m4.raw samples/lux_elev.asc; do
  grep -q "/$member " <<<"$listing" || { echo "$zip lacks $member" >&2; exit 1; }
done
echo "$zip: the program, README, LICENSE and the samples"
echo "=== the Debian package, as README makes it, checked by lintian ==="
cmake --preset app --fresh >/dev/null
cmake --build --preset app
rm -f build/app/terrapivoter_*.deb
(cd build/app && cpack >/dev/null)
lintian --allow-root --fail-on error,warning build/app/terrapivoter_*.deb
echo "lintian: no error, no warning"
echo "=== fuzz (20 s a target) ==="
fuzz/run.sh 20
echo "=== all tests passed in the release, asan, tsan and windows builds; fuzzing found nothing ==="
