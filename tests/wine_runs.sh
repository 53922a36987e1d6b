#!/usr/bin/env bash
# The Windows program under Wine beside the Linux program, on the bundled samples:
#   wine_runs.sh WINE_RUN PREFIX WINDOWS_PROGRAM LINUX_PROGRAM SAMPLES
# Every file the dialogue and the command line write is the Linux program's, byte for byte, in
# folders and files with non-ASCII names too; the dialogue's text is the same but for the
# console's line ends; an interrupted run leaves the older output and no temporary file.
set -euo pipefail
wine_run=$1
prefix=$2
windows=$3
linux=$4
samples=$5
if [ ! -x "$linux" ]; then
  echo "wine_runs: no Linux program at $linux: build the release preset first" >&2
  exit 1
fi
export LC_ALL=C.UTF-8  # names reach Wine as UTF-8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
images=$prefix/drive_c/images  # C:\images under Wine
failures=0
fail() {
  echo "wine_runs: $*" >&2
  failures=$((failures + 1))
}

# Fresh copies of the samples in C:\images\<folder> and in the Linux run's c:/images/<folder>.
fresh() {
  rm -rf "$images" "$work/linux"
  mkdir -p "$images/$1" "$work/linux/c:/images/$1"
  for dir in "$images/$1" "$work/linux/c:/images/$1"; do
    cp "$samples"/volcano_m4.txt "$samples"/volcano_m4.raw "$dir/"
    cp "$samples"/lux_elev.asc "$dir/$2"
  done
}
same_folders() {
  if ! diff -r "$images/$1" "$work/linux/c:/images/$1" >/dev/null; then
    fail "$2: the outputs differ from the Linux program's"
  fi
}

# The dialogue, in every form pair, with the program's pivot and the user's.
for answers in "s volcano 0 2 v 0 0 30" "s volcano 0 1 va 1 1756000 5917000.5 1 40 25.5 -17.3" \
  "s lux_elev 1 l 1 0 45" "s lux_elev 1 lr 0 1 100.5 80 -60" "vallée étna 1 résultat 1 0 30"; do
  folder=${answers%% *}
  fresh "$folder" "$([ "$folder" = s ] && echo lux_elev.asc || echo étna.asc)"
  printf '%s\n' "$answers" >"$work/answers"
  (cd "$work" && "$wine_run" "$prefix" "$windows" <answers >wine.out 2>wine.err) ||
    fail "\"$answers\": the Windows program failed: $(cat "$work/wine.err")"
  (cd "$work/linux" && "$linux" <../answers >../linux.out 2>&1)
  same_folders "$folder" "the dialogue \"$answers\""
  if ! tr -d '\r' <"$work/wine.out" | cmp -s - "$work/linux.out"; then
    fail "\"$answers\": the dialogue's text differs from the Linux program's"
  fi
done

# At a console (a pseudo-terminal, which Wine makes the program's console), the answers typed in
# non-ASCII letters once the first question shows, each ended by Enter.
fresh vallée étna.asc
(cd "$work/linux" && printf 'vallée étna 1 résultat 1 0 30\n' | "$linux" >/dev/null)
mkfifo "$work/keys"
timeout 120 script -qfec "'$wine_run' '$prefix' '$windows'" /dev/null <"$work/keys" \
  >"$work/console.out" 2>&1 &
console=$!
exec 7>"$work/keys"
for _ in $(seq 600); do
  grep -q 'Directory c:' "$work/console.out" && break
  sleep 0.1
done
printf 'vallée\rétna\r1\rrésultat\r1\r0\r30\r' >&7
# The output appears whole, when the run commits it.
for _ in $(seq 600); do
  [ -f "$images/vallée/résultat.asc" ] && break
  sleep 0.1
done
exec 7>&-
wait "$console" || fail "at a console: the Windows program failed: $(tail -c 300 "$work/console.out")"
same_folders vallée "the dialogue at a console"

# The command line, named in non-ASCII letters, in each output form and every resampling.
fresh "dossier_é" "étna.asc"
for args in "-a 30 étna.asc é1.asc" "-a -17.3 -r cubic --extent full étna.asc é2.asc" \
  "-a 45 -r bilinear --background min étna.asc é3_m4.txt" \
  "-a 12 -u cm --corner 1756000,5917000 -p 20,30 volcano_m4.txt é4.asc"; do
  read -ra words <<<"$args"
  (cd "$images/dossier_é" && "$wine_run" "$prefix" "$windows" -q "${words[@]}") ||
    fail "\"$args\": the Windows program failed"
  (cd "$work/linux/c:/images/dossier_é" && "$linux" -q "${words[@]}")
done
same_folders "dossier_é" "the command line"

# A missing input: the same message on standard error, status 1.
set +e
(cd "$images/dossier_é" && "$wine_run" "$prefix" "$windows" -a 3 absent.asc o.asc 2>"$work/e")
status=$?
set -e
[ "$status" -eq 1 ] || fail "a missing input ended with status $status"
grep -qx "terrapivoter: cannot open absent.asc: No such file or directory" <(tr -d '\r' <"$work/e") ||
  fail "a missing input said: $(cat "$work/e")"

# Ctrl+C while a 3000 x 3000 grid is written as an ASCII grid of 60 MB.
fresh dem1 grid.asc
folder=$images/dem1
perl -e 'open(my $r, ">:raw", $ARGV[0]) or die;
         print $r pack("l<*", map { $_ % 9973 + 100 } 0 .. 3000 * 3000 - 1);' "$folder/big_m4.raw"
printf '3000 3000 4 0 0 10' >"$folder/big_m4.txt"
printf 'older output' >"$folder/out.asc"
printf 'dem1 big 0 0 out 1 0 0 0 30\n' >"$work/answers"
"$wine_run" "$prefix" "$windows" <"$work/answers" >/dev/null 2>&1 &
program=$!
caught=0
for _ in $(seq 600); do
  temporary=$(find "$folder" -name '*.tmp-terrapivoter-*' -size +1000k | head -1)
  if [ -n "$temporary" ]; then
    caught=1
    break
  fi
  sleep 0.1
done
kill -INT "$program"
wait "$program" || true
if [ "$caught" -eq 0 ]; then
  fail "the interrupted run was not caught writing"
elif [ -n "$(find "$folder" -name '*.tmp-terrapivoter-*')" ]; then
  fail "an interrupted run left its temporary file"
elif [ "$(cat "$folder/out.asc")" != "older output" ]; then
  fail "an interrupted run replaced the older output"
fi

rm -rf "$images"
[ "$failures" -eq 0 ] && echo "wine_runs: the Windows program writes the Linux program's bytes"
exit "$((failures > 0))"
