#!/usr/bin/env bash
# Checks that each layer of src/ includes only the layers below it (docs/design.md):
#   python, app -> everything; job -> everything but app; rotation -> base; formats -> io, base,
#   platform; io -> base, platform; base -> LIB; LIB -> platform; platform -> nothing (a layer
#   may always include itself).
set -euo pipefail
cd "$(dirname "$0")/../src"
declare -A allowed=(
  [python]="python app job rotation formats io base LIB platform"
  [app]="app job rotation formats io base LIB platform"
  [job]="job rotation formats io base LIB platform"
  [rotation]="rotation base"
  [formats]="formats io base platform"
  [io]="io base platform"
  [base]="base LIB"
  [LIB]="LIB platform"
  [platform]="platform"
)
status=0
for layer in */; do
  layer=${layer%/}
  if [ -z "${allowed[$layer]+set}" ]; then
    echo "check-layers: src/$layer is not a known layer" >&2
    status=1
    continue
  fi
  while IFS=: read -r file line include; do
    target=$(sed -E 's/.*#include "([^"/]+)\/.*/\1/' <<<"$include")
    if [[ "$include" != *'/'* ]]; then
      echo "check-layers: $file:$line includes a header without its layer: $include" >&2
      status=1
    elif [[ " ${allowed[$layer]} " != *" $target "* ]]; then
      echo "check-layers: $file:$line: $layer may not include $target" >&2
      status=1
    fi
  done < <(grep -n -H '^#include "' "$layer"/* || true)
done
[ "$status" -eq 0 ] && echo "check-layers: every include keeps to the layers"
exit "$status"
