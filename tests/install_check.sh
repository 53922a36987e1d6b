#!/usr/bin/env bash
# Installs the build into a scratch prefix and runs the installed tool from an empty folder,
# then builds the Debian package and looks inside it.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/terrapivoter"
test -s "$work/prefix/share/man/man1/terrapivoter.1"
mkdir "$work/empty"
cd "$work/empty"
status=0
printf 'dem1 site 0\n' | "$work/prefix/bin/terrapivoter" >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || { echo "exit status $status, not 1" >&2; exit 1; }
grep -q 'No File c:\\images\\dem1\\site_m4.txt' "$work/out" || { echo "no missing-file message" >&2; exit 1; }
[ ! -s "$work/err" ] || { cat "$work/err" >&2; exit 1; }
[ -z "$(ls -A "$work/empty")" ] || { echo "the run left files behind" >&2; exit 1; }
if command -v dpkg-deb >/dev/null; then
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null)
  contents=$(dpkg-deb -c "$work"/deb/terrapivoter_*.deb)
  grep -q './usr/bin/terrapivoter$' <<<"$contents"
  grep -q './usr/share/man/man1/terrapivoter.1$' <<<"$contents"
  dpkg-deb -f "$work"/deb/terrapivoter_*.deb Package Section | grep -q science
fi
echo "installed tool and package look right"
