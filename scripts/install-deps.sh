#!/usr/bin/env bash
# Installs the Debian packages that a task needs and that are missing.
#   scripts/install-deps.sh build      compiler, CMake and the libraries the program and its Python
#                                      package build with (pybind11)
#   scripts/install-deps.sh run        what run.sh shows the runs with (python3, gdalinfo)
#   scripts/install-deps.sh test       GoogleTest, Google Benchmark, valgrind, setpriv, script, GDAL,
#                                      clang-format, clang-tidy, lintian, pytest and the Python
#                                      package's companions (xarray, rioxarray, dask, distributed),
#                                      QGIS for Python (its Processing runs the QGIS tool's test)
#   scripts/install-deps.sh peers      the programs bench/compare_peers.py measures against
#   scripts/install-deps.sh fuzz       clang with its libFuzzer and sanitizer runtimes (also for the
#                                      ThreadSanitizer build)
#   scripts/install-deps.sh coverage   gcovr, for the coverage preset's report
#   scripts/install-deps.sh windows    mingw-w64 (the Windows program, cross-built), GoogleTest's
#                                      sources (its tests) and Wine (which runs them)
set -euo pipefail

packages=()
for group in "$@"; do
  case "$group" in
    build) packages+=(cmake make g++ libcli11-dev libgdal-dev dpkg-dev file pybind11-dev
                      python3-dev) ;;
    test) packages+=(libgtest-dev libbenchmark-dev valgrind util-linux bsdutils
                     python3 python3-numpy gdal-bin python3-gdal clang-format clang-tidy git
                     lintian python3-pytest python3-xarray python3-rioxarray python3-dask
                     python3-distributed python3-qgis) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    run) packages+=(python3 gdal-bin) ;;
    coverage) packages+=(gcovr) ;;
    windows) packages+=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev googletest wine wine64
                        util-linux) ;;
    peers) packages+=(python3 python3-numpy python3-scipy python3-opencv gdal-bin python3-gdal time) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root (or sudo) to install ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
