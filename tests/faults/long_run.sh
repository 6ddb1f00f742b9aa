#!/usr/bin/env bash
# A long run with bounded memory: a script of many small frames (64 x 48, "Translation 2 1",
# a composite) must run to its end, and the peak resident memory of the program must not
# grow with the number of frames. Runs each program on 200 and on 2000 frames made by
# make-sequence, prints the peak resident set size measured by /usr/bin/time -v, and fails
# when a run does not end normally or the 2000-frame peak exceeds the 200-frame peak by more
# than 10 % + 1 MiB (heap noise). Then the 2000 frames again with "Selection 10": the first
# pass reads every frame and keeps only its score, 200 frames are registered, and the peak
# must stay within 5 % of the 200-frame run's with "Selection 10" (the same code in use),
# beyond what the 2000 frames' name tables already add without a selection (the large run's
# growth over the small one).
#
#   bash tests/faults/long_run.sh build            # a normal (not sanitizer) build
set -euo pipefail
build=$(cd "${1:?usage: long_run.sh BUILD_DIR}" && pwd)
small=${2:-200}
large=${3:-2000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/no-input"   # standard input: an empty file (the runs never wait for Enter)

peak() {   # program frames -> prints the peak RSS in KiB, checks the run
  local program=$1 frames=$2 dir="$work/$(basename "$1")-$2"
  "$build/tools/make-sequence" --out "$dir" --frames "$frames" --width 64 --height 48 --angle none \
    --translation 2,1 --bloc none --composite sum.bmp >"$work/make-sequence.txt"
  (cd "$dir" && /usr/bin/time -v -o time.txt "$program" script.txt >console.txt <"$work/no-input")
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

# The large run's folder again with "Selection 10": prints the peak RSS in KiB, checks the run.
peak_selection() {
  local program=$1 frames=$2 dir="$work/$(basename "$1")-$2" kept=$(($2 / 10))
  sed 's/^Quitter/Selection 10\nQuitter/' "$dir/script.txt" >"$dir/selection.txt"
  rm -f "$dir"/aligned*.bmp
  (cd "$dir" && /usr/bin/time -v -o time.txt "$program" selection.txt >console.txt <"$work/no-input")
  grep -q "^Fin de l'execution de Kalvorine$" "$dir/console.txt" || { echo "$program, Selection 10: no normal end" >&2; return 1; }
  local lines aligned ranked
  lines=$(wc -l <"$dir/shift.lst")
  aligned=$(find "$dir" -name 'aligned*.bmp' | wc -l)
  ranked=$(wc -l <"$dir/qualite.lst")
  if [ "$lines" -ne "$kept" ] || [ "$aligned" -ne "$kept" ] || [ "$ranked" -ne "$frames" ]; then
    echo "$program, Selection 10: $lines lines in shift.lst, $aligned aligned files, $ranked ranked" >&2
    return 1
  fi
  sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$dir/time.txt"
}

status=0
for program in "$build/kalvorine" "$build/kalvorine-sse"; do
  a=$(peak "$program" "$small")
  b=$(peak "$program" "$large")
  c=$(peak_selection "$program" "$large")
  d=$(peak_selection "$program" "$small")
  limit=$((a + a / 10 + 1024))
  printf '%-14s peak resident memory: %6d KiB at %d frames, %6d KiB at %d frames (limit %d KiB)\n' \
    "$(basename "$program")" "$a" "$small" "$b" "$large" "$limit"
  if [ "$b" -gt "$limit" ]; then
    echo "!!!! $(basename "$program"): memory grows with the number of frames" >&2
    status=1
  fi
  tables=$((b > a ? b - a : 0))
  printf '%-14s peak resident memory with Selection 10: %6d KiB at %d frames, %6d KiB at %d frames (limit %d KiB: 5 %% + %d KiB of name tables)\n' \
    "$(basename "$program")" "$d" "$small" "$c" "$large" "$((d + d / 20 + tables))" "$tables"
  if [ "$c" -gt $((d + d / 20 + tables)) ]; then
    echo "!!!! $(basename "$program"): the selection's first pass holds memory per frame" >&2
    status=1
  fi
done
exit $status
