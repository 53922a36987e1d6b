#!/usr/bin/env bash
# The main job, from a fresh checkout: builds terrapivoter, then turns the bundled DEMs, once
# from the command line (a GeoTIFF of Luxembourg) and once through the dialogue (the Maunga
# Whau volcano as a raster pair in centimetres), and says what was read and written where.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build
if [ ! -x build/app/terrapivoter ]; then
  echo "Building terrapivoter (the first time takes a minute or two)..."
fi
cmake --preset app >/dev/null
cmake --build --preset app 2>&1 | grep -E "error|Linking" | sed 's/^/  /' || true
program=$PWD/build/app/terrapivoter
echo "Built $program ($("$program" --version))."
rm -rf demo
mkdir -p demo

echo
echo "== 1. The command line: a GeoTIFF turned 30 degrees anticlockwise about its middle"
echo "   \$ terrapivoter --angle 30 --extent full samples/lux_elev.tif demo/lux_elev_r30.tif"
"$program" --angle 30 --extent full -q samples/lux_elev.tif demo/lux_elev_r30.tif
describe() {
  if command -v gdalinfo >/dev/null; then
    gdalinfo "$1" | grep -E "^(Driver|Size is)|NoData|^  Type|^Pixel Size|^Origin" | sed 's/^/     /'
  else
    ls -l "$1" | sed 's/^/     /'
  fi
}
echo "   Read samples/lux_elev.tif, the elevation of Luxembourg (90 x 95 cells, 30 arc-seconds):"
describe samples/lux_elev.tif
echo "   Wrote demo/lux_elev_r30.tif, the whole turned grid; its uncovered corners are no-data:"
describe demo/lux_elev_r30.tif

echo
echo "== 2. The dialogue, answered by this script (the answers typed after each question)"
folder=demo/c:/images/sample
mkdir -p "$folder"
cp samples/volcano_m4.txt samples/volcano_m4.raw "$folder/"
chmod u+w "$folder"/*
# Answers: folder, input name, input form (0 raster pair), unit (2 centimetres), output name,
# output form (0 raster pair), reference point (0 centre), angle.
scripts/install-deps.sh run >/dev/null
python3 scripts/answer-dialogue.py "$program" demo sample volcano 0 2 volcano_r30 0 0 30

out="$folder/volcano_r30_m4.raw"
rows=$(sed -n 1p "$folder/volcano_r30_m4.txt")
cols=$(sed -n 2p "$folder/volcano_r30_m4.txt")
sorted=$(od -An -v -t d4 "$out" | tr -s ' ' '\n' | sed '/^$/d' | sort -n)
echo
echo "   Read $folder/volcano_m4.txt and volcano_m4.raw (a raster pair, values in centimetres)."
echo "   Wrote $out (descriptor $folder/volcano_r30_m4.txt):"
echo "     $rows rows x $cols columns, values from $(head -n 1 <<<"$sorted") to" \
     "$(tail -n 1 <<<"$sorted") centimetres: the volcano turned 30 degrees anticlockwise;"
echo "     the corners it no longer covers hold its lowest value, as the dialogue does."
