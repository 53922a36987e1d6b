#!/usr/bin/env bash
# Renders the bundled Maunga Whau DEM and its rotation by 30 degrees as hillshades side by
# side (docs/rotation.png), and that rotation by each method (docs/resampling.png). Needs gdal-bin and imagemagick (Debian packages) and a built tool
# (build/release or build/app).
set -euo pipefail
cd "$(dirname "$0")/.."
tool=build/release/terrapivoter
[ -x "$tool" ] || tool=build/app/terrapivoter
[ -x "$tool" ] || { echo "build the tool first (cmake --preset app && cmake --build --preset app)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/c:/images/pic"
cp samples/volcano_m4.txt samples/volcano_m4.raw "$work/c:/images/pic/"
# The same grid twice as ASCII grids in metres: unturned, and turned by 30 degrees.
printf 'pic volcano 0 2 before 1 1756000 5917000 0 0\n' | (cd "$work" && "$OLDPWD/$tool") >/dev/null
printf 'pic volcano 0 2 after 1 1756000 5917000 0 30\n' | (cd "$work" && "$OLDPWD/$tool") >/dev/null
for name in before after; do
  gdaldem hillshade -q -multidirectional -z 1.5 -compute_edges -of PNG "$work/c:/images/pic/$name.asc" "$work/$name.png"
done
montage -label 'as recorded' "$work/before.png" \
        -label 'turned 30 degrees' "$work/after.png" \
        -resize 400% -filter point -tile 2x1 -geometry +16+8 -pointsize 16 docs/rotation.png
echo "wrote docs/rotation.png"

# The same turn by each way of valuing the cells, with the command line: docs/resampling.png.
for method in forward bilinear cubic; do
  "$tool" -q -a 30 -r "$method" -u cm --corner 1756000,5917000 --nodata -9999 \
    samples/volcano_m4.txt "$work/$method.asc"
  gdaldem hillshade -q -multidirectional -z 1.5 -compute_edges -of PNG "$work/$method.asc" "$work/$method.png"
done
montage -label 'forward (default)' "$work/forward.png" -label 'bilinear' "$work/bilinear.png" \
        -label 'cubic' "$work/cubic.png" \
        -resize 400% -filter point -tile 3x1 -geometry +16+8 -pointsize 16 docs/resampling.png
echo "wrote docs/resampling.png"
