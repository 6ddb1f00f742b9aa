#!/usr/bin/env bash
# The standard workloads, plain against fast: for each program and workload, the median
# time per image over 5 runs of the straightforward programs (built from reference/)
# and of the real ones, and their ratio. Also the peak memory of one run of each.
#
#   bash bench/workloads.sh BUILD_DIR [RUNS [WORKLOADS]]
#
# WORKLOADS: some of the names below, space-separated (all five by default).
#
# Workloads, made from the lunar sample (640 x 480, 8 frames within +-3 degrees and
# +-15 pixels, seed 9):
#   range   Angle -5 5 1, Translation 20 1, Bloc 32 8 4 1, Compositage sum.bmp
#   single  the same frames, Translation 40 1 and no Angle line
#   frac    range with Bloc 32 8 3 0.25
#   frac05  range with Bloc 32 8 3 0.5
#   ser     range with the reference and frames as one 16-bit grey SER video (make-ser):
#           "Reference video.ser", "Sequence video.ser aligned 2 9"
set -euo pipefail
export LC_ALL=C   # a point in EPOCHREALTIME and in the figures
build=$(cd "${1:?usage: workloads.sh BUILD_DIR [RUNS]}" && pwd)
runs=${2:-5}
workloads=${3:-range single frac frac05 ser}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
frames=8

"$build/tools/make-sequence" --out "$work/range" --seed 9 --frames $frames >/dev/null
for w in single frac frac05; do cp -r "$work/range" "$work/$w"; done
sed -i '/^Angle/d; s/^Translation.*/Translation 40 1/' "$work/single/script.txt"
sed -i 's/^Bloc.*/Bloc 32 8 3 0.25/' "$work/frac/script.txt"
sed -i 's/^Bloc.*/Bloc 32 8 3 0.5/' "$work/frac05/script.txt"
cp -r "$work/range" "$work/ser"
(cd "$work/ser" && "$build/tools/make-ser" video.ser reference.bmp frame0[1-8].bmp && rm -f ./*.bmp)
sed -i '/^Reference/d; /^Source/d' "$work/ser/script.txt"
sed -i '1i Reference video.ser\nSequence video.ser aligned 2 9' "$work/ser/script.txt"

# Wall time of one run of program in the current folder, in seconds. The clock is read by the
# shell itself (EPOCHREALTIME) right around the program, so that no other process start is
# counted: the fast runs last a few tens of milliseconds.
elapsed() {
    local start end
    start=$EPOCHREALTIME
    "$1" script.txt >/dev/null
    end=$EPOCHREALTIME
    awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

# Sets plain and fast to the median times of `runs` runs of the two programs in folder. The
# runs alternate, plain then fast, so that both see the same moments of a shared machine (a
# plain run lasts seconds, a fast one milliseconds).
time_pair() {
    local plainProgram=$1 fastProgram=$2 folder=$3 plainTimes=() fastTimes=()
    pushd "$folder" >/dev/null
    for _ in $(seq "$runs"); do
        plainTimes+=("$(elapsed "$plainProgram")")
        fastTimes+=("$(elapsed "$fastProgram")")
    done
    popd >/dev/null
    plain=$(printf '%s\n' "${plainTimes[@]}" | median)
    fast=$(printf '%s\n' "${fastTimes[@]}" | median)
}

peak() {   # peak resident memory in MiB
    local program=$1 folder=$2
    (cd "$folder" && /usr/bin/time -f '%M' "$program" script.txt 2>&1 >/dev/null | tail -1) | awk '{ printf "%.1f", $1 / 1024 }'
}

printf '%-14s %-8s %14s %14s %9s %12s %12s\n' program workload "plain s/img" "fast s/img" ratio "plain MiB" "fast MiB"
for program in kalvorine kalvorine-sse; do
    for w in $workloads; do
        time_pair "$build/reference/$program-plain" "$build/$program" "$work/$w"
        # Both must have written the same bytes.
        (cd "$work/$w" && "$build/reference/$program-plain" script.txt | sed -E 's/[0-9]+ secondes|Phase1 : [0-9]+/#/' >plain.out \
            && md5sum aligned*.bmp sum* shift.lst >plain.sum)
        (cd "$work/$w" && "$build/$program" script.txt | sed -E 's/[0-9]+ secondes|Phase1 : [0-9]+/#/' >fast.out \
            && md5sum aligned*.bmp sum* shift.lst >fast.sum)
        if ! cmp -s "$work/$w/plain.out" "$work/$w/fast.out" || ! cmp -s "$work/$w/plain.sum" "$work/$w/fast.sum"; then
            echo "$program $w: the fast program's output differs from the plain one's" >&2
            exit 1
        fi
        awk -v p="$program" -v w="$w" -v plain="$plain" -v fast="$fast" -v n="$frames" \
            -v pm="$(peak "$build/reference/$program-plain" "$work/$w")" -v fm="$(peak "$build/$program" "$work/$w")" \
            'BEGIN { printf "%-14s %-8s %14.4f %14.4f %8.1fx %12s %12s\n", p, w, plain / n, fast / n, plain / fast, pm, fm }'
    done
done
