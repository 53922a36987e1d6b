#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, in the Wine prefix PREFIX (made on first use):
#   wine-run.sh PREFIX PROGRAM [ARGUMENT...]
# The build's own prefix keeps the tests' C: drive apart from anyone's ~/.wine.
set -euo pipefail
export WINEPREFIX=$1
shift
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
unset DISPLAY
mkdir -p "$WINEPREFIX"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init </dev/null >/dev/null 2>&1 9>&-
    wineserver --wait
  fi
  # Wine's server and its own background programs are started apart, their output elsewhere: a
  # test runner reading the program's output would otherwise wait for them to end too. The
  # server stays ten seconds after the last program, so that the next one starts at once.
  # A server just started may not answer its first program. A test once failed in 20 ms with
  # no output, most likely when this warm-up failed and, under set -e, ended the script: it is
  # asked again, and its failures end nothing.
  if wineserver -p10 </dev/null >/dev/null 2>&1 9>&-; then
    for attempt in 1 2 3; do
      wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- && break
      sleep "$attempt"
    done
  fi
) 9>"$WINEPREFIX/.lock"
exec wine "$@"
