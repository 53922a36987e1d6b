#!/usr/bin/env bash
# Whole runs of the program under valgrind's memcheck, in all four form combinations of the
# dialogue and through GDAL on the command line: any memory error (or definite leak) fails the
# test.
set -euo pipefail
binary=$1
samples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/c:/images/s"
cp "$samples"/volcano_m4.txt "$samples"/volcano_m4.raw "$samples"/lux_elev.asc \
   "$samples"/lux_elev.tif "$work/c:/images/s/"
cd "$work"
for answers in "s volcano 0 2 v1 0 0 30" "s volcano 0 2 v2 1 100 200 1 40 25.5 -17.3" \
               "s lux_elev 1 l1 0 0 -45" "s lux_elev 1 l2 1 0 120"; do
  valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    "$binary" <<<"$answers" >/dev/null
done
# A GeoTIFF into a file set of another driver (copied from a scratch GeoTIFF) and into an ASCII
# grid with its .prj.
for outputs in "t.bil" "t.asc"; do
  valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    "$binary" -q -a 30 c:/images/s/lux_elev.tif "c:/images/s/$outputs"
done
ls c:/images/s/v1_m4.raw c:/images/s/v2.asc c:/images/s/l1_m4.raw c:/images/s/l2.asc \
   c:/images/s/t.bil c:/images/s/t.hdr c:/images/s/t.asc c:/images/s/t.prj >/dev/null
echo "memcheck: no errors in 6 runs"
