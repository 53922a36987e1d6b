#!/usr/bin/env bash
# The fast program and the plain reference program (the polar formulas cell by cell, strtod and
# fprintf, one thread) write the same bytes: on the bundled DEMs and on generated grids, in all
# four form combinations, at several angles and reference points, among them turns that put
# whole rows of cells exactly on cell boundaries (30 degrees about a whole cell, a quarter turn
# about a half-integer column).
set -euo pipefail
fast=$1
reference=$2
samples=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
inputs=$work/inputs
mkdir -p "$inputs"
cp "$samples"/volcano_m4.txt "$samples"/volcano_m4.raw "$samples"/lux_elev.asc "$inputs/"

# A raster pair of 203 x 311 values in millimetres, many of them halves of the coarser units,
# and an ASCII grid of 97 x 150 values with every number of decimals and a no-data value.
perl -e '
  srand(20261208);
  open(my $d, ">", "$ARGV[0]/gen_m4.txt") or die; print $d "203\n311\n4\n0\n0\n2.5\n"; close $d;
  open(my $r, ">:raw", "$ARGV[0]/gen_m4.raw") or die;
  for (1 .. 203 * 311) { my $v = int(rand(400000)) - 200000; $v = $v - $v % 5 if rand() < 0.5;
                         print $r pack("l<", $v); }
  close $r;
  open(my $a, ">", "$ARGV[0]/grid.asc") or die;
  print $a "ncols 150\nnrows 97\nxllcenter 500000.5\nyllcenter 4000000.25\ncellsize 0.5\n";
  print $a "NODATA_value -9999\n";
  for my $i (1 .. 97) {
    print $a join(" ", map { rand() < 0.05 ? "-9999"
                             : sprintf("%.*f", int(rand(8)), rand(3000) - 500) } 1 .. 150), "\n";
  }
  close $a;' "$inputs"

runs=(
  "d volcano 0 2 o 0 0 30"
  "d volcano 0 1 o 1 1756000 5917000.5 1 40 25.5 -17.3"
  "d lux_elev 1 o 0 0 -45"
  "d lux_elev 1 o 1 1 44.5 47 120"
  "d gen 0 3 o 0 1 100.5 150 7.25"
  "d gen 0 2 o 1 0 0 1 101 150.5 90"
  "d grid 1 o 0 1 48 75 30"
  "d grid 1 o 1 1 -10 200 -179.5"
)
for answers in "${runs[@]}"; do
  for program in fast reference; do
    folder=$work/$program/c:/images/d
    rm -rf "$work/$program"
    mkdir -p "$folder"
    cp "$inputs"/* "$folder/"
    binary=$fast
    [ "$program" = reference ] && binary=$reference
    (cd "$work/$program" && "$binary" <<<"$answers" >/dev/null)
  done
  for file in "$work"/fast/c:/images/d/o*; do
    name=$(basename "$file")
    cmp "$file" "$work/reference/c:/images/d/$name" ||
      { echo "'$answers': $name differs" >&2; exit 1; }
  done
  ls "$work"/fast/c:/images/d/o* >/dev/null
done
echo "the fast and the reference program wrote the same bytes in ${#runs[@]} runs"
