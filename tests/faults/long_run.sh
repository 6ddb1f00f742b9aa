#!/usr/bin/env bash
# A long run with bounded memory: each program on 200 and 2000 frames of 64 x 48 made by
# make-sequence ("Translation 2 1", a composite) must run to its end with every frame logged
# and aligned, and its peak resident memory (/usr/bin/time -v) at 2000 frames stay within
# 10 % + 1 MiB (heap noise) of the peak at 200. Then both with "Selection 10": the first pass
# keeps only each frame's score, a tenth is registered, and the large run's peak must stay
# within 5 % of the small one's beyond what the 2000 frames' name tables add anyway.
#
#   bash tests/faults/long_run.sh build            # a normal (not sanitizer) build
set -euo pipefail
build=$(cd "${1:?usage: long_run.sh BUILD_DIR}" && pwd)
small=${2:-200}
large=${3:-2000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/no-input"   # standard input: an empty file (the runs never wait for Enter)

# program frames [selection] -> prints the peak RSS in KiB after checking the run; the frames
# are made on the first call.
peak() {
  local program=$1 frames=$2 selection=${3:-} dir="$work/$(basename "$1")-$2" kept=$2 script=script.txt
  if [ -z "$selection" ]; then
    "$build/tools/make-sequence" --out "$dir" --frames "$frames" --width 64 --height 48 --angle none \
      --translation 2,1 --bloc none --composite sum.bmp >"$work/make-sequence.txt"
  else
    kept=$((frames / 10)) script=selection.txt
    sed 's/^Quitter/Selection 10\nQuitter/' "$dir/script.txt" >"$dir/selection.txt"
    rm -f "$dir"/aligned*.bmp
  fi
  (cd "$dir" && /usr/bin/time -v -o time.txt "$program" "$script" >console.txt <"$work/no-input")
  local lines aligned
  lines=$(wc -l <"$dir/shift.lst")
  aligned=$(find "$dir" -name 'aligned*.bmp' | wc -l)
  if ! grep -q "^Fin de l'execution de Kalvorine$" "$dir/console.txt" || [ "$lines" -ne "$kept" ] ||
    [ "$aligned" -ne "$kept" ] || { [ -n "$selection" ] && [ "$(wc -l <"$dir/qualite.lst")" -ne "$frames" ]; }; then
    echo "$program, $frames frames $selection: no normal end, or $lines lines in shift.lst, $aligned aligned files" >&2
    return 1
  fi
  sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$dir/time.txt"
}

status=0
for program in "$build/kalvorine" "$build/kalvorine-sse"; do
  name=$(basename "$program")
  a=$(peak "$program" "$small") b=$(peak "$program" "$large")
  c=$(peak "$program" "$large" selection) d=$(peak "$program" "$small" selection)
  tables=$((b > a ? b - a : 0))
  printf '%-14s peak resident memory: %6d KiB at %d frames, %6d KiB at %d frames (limit %d KiB)\n' \
    "$name" "$a" "$small" "$b" "$large" $((a + a / 10 + 1024))
  printf '%-14s with Selection 10: %6d KiB at %d frames, %6d KiB at %d frames (limit %d KiB: 5 %% + %d KiB)\n' \
    "$name" "$d" "$small" "$c" "$large" $((d + d / 20 + tables)) "$tables"
  [ "$b" -le $((a + a / 10 + 1024)) ] || { echo "!!!! $name: memory grows with the number of frames" >&2; status=1; }
  [ "$c" -le $((d + d / 20 + tables)) ] ||
    { echo "!!!! $name: the selection's first pass holds memory per frame" >&2; status=1; }
done
exit $status
