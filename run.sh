#!/usr/bin/env bash
# Builds terrapivoter and rotates the bundled Maunga Whau DEM (a raster pair in centimetres)
# by 30 degrees about its centre, answering the dialogue from a script.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build
cmake --preset app >/dev/null
cmake --build --preset app >/dev/null

# The program reads and writes under c:\images\<folder>\, which on Linux is the folder
# c:/images/<folder>/ below the working directory.
folder=demo/c:/images/sample
mkdir -p "$folder"
cp samples/volcano_m4.txt samples/volcano_m4.raw "$folder/"
chmod u+w "$folder"/*

# Answers: folder, input name, input form (0 raster pair), unit (2 centimetres),
# output name, output form (0 raster pair), reference point (0 centre), angle.
printf 'sample\nvolcano\n0\n2\nvolcano_r30\n0\n0\n30\n' | (cd demo && ../build/app/terrapivoter)

out="$folder/volcano_r30_m4.raw"
rows=$(sed -n 1p "$folder/volcano_r30_m4.txt")
cols=$(sed -n 2p "$folder/volcano_r30_m4.txt")
sorted=$(od -An -v -t d4 "$out" | tr -s ' ' '\n' | sed '/^$/d' | sort -n)
lo=$(head -n 1 <<<"$sorted")
hi=$(tail -n 1 <<<"$sorted")
echo
echo "Output: $out (descriptor $folder/volcano_r30_m4.txt)"
echo "        $rows rows x $cols columns, values from $lo to $hi centimetres:"
echo "        the volcano turned 30 degrees anticlockwise; corners it no longer covers hold its lowest value."
