#!/usr/bin/env bash
# The demo's sample run once whole and once as three parts, each in its own folder, whose raw
# sums kalvorine-merge adds up; the merged composite files must be byte for byte those of the
# whole run, and the parts' shift.lst, concatenated in frame order, the whole run's shift.lst.
#
#   demo_split.sh FOLDER KALVORINE KALVORINE_MERGE MAKE_SEQUENCE SCENE
set -euo pipefail
dir=$1 kalvorine=$2 merge=$3 make_sequence=$4 scene=$5

rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
"$make_sequence" --scene "$scene" --out frames --frames 8 --width 640 --height 480 --seed 2002 \
  --max-rotation 3 --max-shift 15 --angle=-5,5,1 --translation=20,1 --bloc=32,8,4,1 --composite=sum.bmp >/dev/null

# The settings lines of the sample's script (Reference, Angle, Translation, Bloc), its frames
# named from a folder one level down.
settings=$(grep -E '^(Reference|Angle|Translation|Bloc) ' frames/script.txt | sed 's/^Reference /Reference ..\/frames\//')

# part FOLDER FIRST LAST EXTRA: a script over frames FIRST .. LAST, run in FOLDER.
part() {
  mkdir -p "$1"
  {
    printf '%s\n' "$settings"
    for ((k = $2; k <= $3; ++k)); do printf 'Source ../frames/frame%02d.bmp aligned%02d.bmp\n' "$k" "$k"; done
    printf '%bQuitter \n' "$4"
  } >"$1/script.txt"
  (cd "$1" && "$kalvorine" script.txt >run.log) || { echo "kalvorine failed in $dir/$1 (see run.log)"; exit 1; }
}

part whole 1 8 'Compositage sum.bmp\nSommes sums.fit\n'
part part1 1 3 'Sommes sums.fit\n'
part part2 4 5 'Sommes sums.fit\n'
part part3 6 8 'Sommes sums.fit\n'
"$merge" merged part1/sums.fit part2/sums.fit part3/sums.fit
cat part1/shift.lst part2/shift.lst part3/shift.lst >shift.lst

for f in R.fit V.fit B.fit .bmp; do
  cmp "whole/sum$f" "merged$f" || { echo "demo-split: merged$f differs from the whole run's sum$f"; exit 1; }
done
cmp whole/shift.lst shift.lst || { echo "demo-split: the parts' shift.lst differ from the whole run's"; exit 1; }
echo "demo-split: mergedR.fit, mergedV.fit, mergedB.fit and merged.bmp in $dir are byte for byte the whole run's files"
