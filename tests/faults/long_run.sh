#!/usr/bin/env bash
# A long run with bounded memory: a script of many small frames (64 x 48, "Translation 2 1",
# a composite) must run to its end, and the peak resident memory of the program must not
# grow with the number of frames. Runs each program on 200 and on 2000 frames made by
# make-sequence, prints the peak resident set size measured by /usr/bin/time -v, and fails
# when a run does not end normally or the 2000-frame peak exceeds the 200-frame peak by more
# than 10 % + 1 MiB (heap noise).
#
#   bash tests/faults/long_run.sh build            # a normal (not sanitizer) build
set -euo pipefail
build=$(cd "${1:?usage: long_run.sh BUILD_DIR}" && pwd)
small=${2:-200}
large=${3:-2000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

peak() {   # program frames -> prints the peak RSS in KiB, checks the run
  local program=$1 frames=$2 dir="$work/$(basename "$1")-$2"
  "$build/tools/make-sequence" --out "$dir" --frames "$frames" --width 64 --height 48 --angle none \
    --translation 2,1 --bloc none --composite sum.bmp >/dev/null
  (cd "$dir" && /usr/bin/time -v -o time.txt "$program" script.txt >console.txt </dev/null)
  grep -q "^Fin de l'execution de Kalvorine$" "$dir/console.txt" || { echo "$program, $frames frames: no normal end" >&2; return 1; }
  local lines aligned
  lines=$(wc -l <"$dir/shift.lst")
  aligned=$(find "$dir" -name 'aligned*.bmp' | wc -l)
  if [ "$lines" -ne "$frames" ] || [ "$aligned" -ne "$frames" ]; then
    echo "$program, $frames frames: $lines lines in shift.lst, $aligned aligned files" >&2
    return 1
  fi
  sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$dir/time.txt"
}

status=0
for program in "$build/kalvorine" "$build/kalvorine-sse"; do
  a=$(peak "$program" "$small")
  b=$(peak "$program" "$large")
  limit=$((a + a / 10 + 1024))
  printf '%-14s peak resident memory: %6d KiB at %d frames, %6d KiB at %d frames (limit %d KiB)\n' \
    "$(basename "$program")" "$a" "$small" "$b" "$large" "$limit"
  if [ "$b" -gt "$limit" ]; then
    echo "!!!! $(basename "$program"): memory grows with the number of frames" >&2
    status=1
  fi
done
exit $status
