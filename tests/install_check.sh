#!/usr/bin/env bash
# Installs the build into a scratch prefix and runs the installed tool from an empty folder;
# then builds the Debian package, checks that its declared dependencies cover every shared
# library the binary loads, and runs the tool from the package's own contents.
set -euo pipefail
build=$1
samples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --build "$build" --target terrapivoter_docs >/dev/null
cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/terrapivoter"
test -s "$work/prefix/share/man/man1/terrapivoter.1.gz"
test -s "$work/prefix/share/doc/terrapivoter/copyright"
mkdir "$work/empty"
cd "$work/empty"
status=0
printf 'dem1 site 0\n' | "$work/prefix/bin/terrapivoter" >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || { echo "exit status $status, not 1" >&2; exit 1; }
grep -q 'No File c:\\images\\dem1\\site_m4.txt' "$work/out" || { echo "no missing-file message" >&2; exit 1; }
[ ! -s "$work/err" ] || { cat "$work/err" >&2; exit 1; }
[ -z "$(ls -A "$work/empty")" ] || { echo "the run left files behind" >&2; exit 1; }
# GDAL's module, found from the program's own folder wherever the two were installed.
"$work/prefix/bin/terrapivoter" -q -a 30 "$samples/lux_elev.tif" "$work/turned.tif"
test -s "$work/turned.tif"

# The Python package and the QGIS plugin, in a build that has them: importable from where they
# are installed, from an empty folder.
python_dir=$work/prefix/lib/python3/dist-packages
if [ -d "$python_dir/terrapivoter" ]; then
  (cd "$work/empty" && PYTHONPATH=$python_dir /usr/bin/python3 -c \
    "import numpy, terrapivoter; assert terrapivoter.rotate(numpy.eye(3), 90)[0, 2] == 1")
  test -s "$work/prefix/share/qgis/python/plugins/terrapivoter_processing/metadata.txt"
  test -s "$work/prefix/share/qgis/python/plugins/terrapivoter_processing/rotate_algorithm.py"
  [ -z "$(ls -A "$work/empty")" ] || { echo "the import left files behind" >&2; exit 1; }
fi

command -v dpkg-deb >/dev/null || { echo "installed tool looks right (no dpkg-deb: no package)"; exit 0; }
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/terrapivoter_*.deb)
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/terrapivoter ./usr/share/man/man1/terrapivoter.1.gz \
            ./usr/share/doc/terrapivoter/copyright ./usr/share/doc/terrapivoter/changelog.gz; do
  grep -q " $path\$" <<<"$contents" || { echo "the package lacks $path" >&2; exit 1; }
done
grep -q " \./usr/lib/.*terrapivoter/terrapivoter-gdal\.so\$" <<<"$contents" ||
  { echo "the package lacks the GDAL module" >&2; exit 1; }
dpkg-deb -f "$deb" Section | grep -qx science

# Every library the binary and GDAL's module load themselves (their NEEDED entries; what those
# load in turn is their packages' business) belongs to a package that Depends names.
depends=$(dpkg-deb -f "$deb" Depends)
declared=$(sed -e 's/([^)]*)//g' -e 's/[|,]/\n/g' <<<"$depends" | tr -d ' ')
dpkg-deb -x "$deb" "$work/root"
binary=$work/root/usr/bin/terrapivoter
module=$(find "$work/root/usr/lib" -name terrapivoter-gdal.so)
python_module=$(find "$work/root/usr/lib" -name '_terrapivoter*.so')
for elf in "$binary" "$module" $python_module; do
for soname in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
  # The dynamic loader itself (a module that uses thread-local storage names it) is libc's.
  case $soname in ld-linux*) continue ;; esac
  library=$(ldd "$elf" | awk -v n="$soname" '$1 == n {print $3}')
  [ -n "$library" ] || { echo "$soname is not found" >&2; exit 1; }
  owner=$(dpkg -S "$library" 2>/dev/null || dpkg -S "$(readlink -f "$library")" 2>/dev/null || true)
  owner=${owner%%:*}
  [ -n "$owner" ] || { echo "no package owns $library" >&2; exit 1; }
  grep -qxF "$owner" <<<"$declared" ||
    { echo "$soname ($owner) is loaded but Depends says: $depends" >&2; exit 1; }
done
done

# The tool from the package's contents: --version, and the dialogue on the bundled volcano.
"$binary" --version | grep -q "^terrapivoter [0-9]"
mkdir -p "$work/run/c:/images/s"
cp "$samples"/volcano_m4.txt "$samples"/volcano_m4.raw "$work/run/c:/images/s/"
(cd "$work/run" && printf 's volcano 0 2 v 0 0 30\n' | "$binary" >/dev/null)
test -s "$work/run/c:/images/s/v_m4.raw"
"$binary" -q -a 30 "$samples/lux_elev.tif" "$work/run/turned.tif"
test -s "$work/run/turned.tif"
cmp -s "$work/run/c:/images/s/v_m4.txt" <(printf '87\n61\n4\n9400\n19500\n10.000000\n')
echo "installed tool and package look right; Depends covers: $depends"
