#!/usr/bin/env bash
# Wall and processor time (user + system, all threads) per frame that "Affinage 1" adds to the range workload (640 x 480, 8 frames of the
# lunar sample, seed 9, Angle -5 5 1, Translation 20 1; with and without Bloc 32 8 4 1):
# plain and refined runs alternate, so that both see the same moments of a shared machine;
# medians over RUNS runs. On a loaded machine the processor time is the steadier figure.
#
#   bash bench/affinage_time.sh BUILD_DIR [PROGRAM] [RUNS]
set -euo pipefail
export LC_ALL=C
build=$(cd "${1:?usage: affinage_time.sh BUILD_DIR [PROGRAM] [RUNS]}" && pwd)
program=${2:-kalvorine}
runs=${3:-7}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tools/make-sequence" --out "$work/bloc" --seed 9 --composite none >/dev/null
"$build/tools/make-sequence" --out "$work/global" --seed 9 --composite none --bloc none >/dev/null
for w in bloc global; do
    cp -r "$work/$w" "$work/$w.a"
    echo "Affinage 1" >>"$work/$w.a/script.txt"
done
elapsed() {   # "wall cpu" seconds per frame of one run
    local start end cpu
    TIMEFORMAT='%3U %3S'
    start=$EPOCHREALTIME
    cpu=$( { time (cd "$1" && "$build/$program" script.txt >/dev/null) ; } 2>&1 )
    end=$EPOCHREALTIME
    awk -v a="$start" -v b="$end" -v c="$cpu" 'BEGIN { split(c, t, " "); print (b - a) / 8, (t[1] + t[2]) / 8 }'
}
median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
for w in global bloc; do
    plain=() refined=()
    for ((r = 0; r < runs; ++r)); do
        plain+=("$(elapsed "$work/$w")")
        refined+=("$(elapsed "$work/$w.a")")
    done
    pw=$(printf "%s\n" "${plain[@]}" | awk '{ print $1 }' | median)
    pc=$(printf "%s\n" "${plain[@]}" | awk '{ print $2 }' | median)
    aw=$(printf "%s\n" "${refined[@]}" | awk '{ print $1 }' | median)
    ac=$(printf "%s\n" "${refined[@]}" | awk '{ print $2 }' | median)
    awk -v w="$w" -v pw="$pw" -v pc="$pc" -v aw="$aw" -v ac="$ac" 'BEGIN {
        printf "%-6s wall: plain %.4f  Affinage %.4f  added %.4f s/frame | cpu: plain %.4f  Affinage %.4f  added %.4f s/frame\n",
               w, pw, aw, aw - pw, pc, ac, ac - pc }'
done
