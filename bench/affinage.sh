#!/usr/bin/env bash
# Accuracy of the registration with and without "Affinage 1" on sequences made from the lunar
# sample (640 x 480, 8 frames, default seeing, blur and noise), per seed: the median and the
# worst frame error of registration-score, and the program's wall time per frame.
#
#   bash bench/affinage.sh BUILD_DIR [PROGRAM] [SEEDS...]
#
# Three sets: "range" (rotations within 3 degrees, shifts within 15 pixels, Angle -5 5 1,
# Translation 20 1), "wide" (within 10 degrees and 30 pixels, Angle -12 12 1, Translation
# 40 1) and "still" (range without seeing: a rigid motion and nothing else). No Bloc line: the
# global registration alone. Also the seeing floor (registration-score --seeing: how far the
# best rigid placement lies from the truth) and, when python3-opencv is installed, OpenCV's
# findTransformECC (bench/ecc_compare.py) on the same frames.
set -euo pipefail
export LC_ALL=C
build=$(cd "${1:?usage: affinage.sh BUILD_DIR [PROGRAM] [SEEDS...]}" && pwd)
program=${2:-kalvorine}
shift $(( $# >= 2 ? 2 : 1 ))
seeds=("$@")
[ ${#seeds[@]} -gt 0 ] || seeds=(1 2 3 4 5)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

here=$(cd "$(dirname "$0")" && pwd)
score() { "$build/tools/registration-score" "$@" | tail -1 | awk '{ printf "%s/%s", $2, $5 }'; }
floor() { "$build/tools/registration-score" --seeing "$@" | grep "seeing floor" | awk '{ printf "%s/%s", $4, $7 }'; }
ecc=no
/usr/bin/python3 -c "import cv2" 2>/dev/null && ecc=yes
run() {   # folder: wall seconds of one run
    local start end
    start=$EPOCHREALTIME
    (cd "$1" && "$build/$program" script.txt >console.txt)
    end=$EPOCHREALTIME
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 8 }'
}

printf "%-6s %-4s | %-15s %-7s | %-15s %-7s | %-15s %-7s | %-15s\n" set seed "plain med/worst" "s/frame" \
    "Affinage" "s/frame" "ECC" "s/frame" "seeing floor"
for set in range wide still; do
    for seed in "${seeds[@]}"; do
        dir="$work/$set$seed"
        if [ $set = range ]; then
            "$build/tools/make-sequence" --out "$dir" --seed "$seed" --bloc none --composite none >/dev/null
        elif [ $set = still ]; then
            "$build/tools/make-sequence" --out "$dir" --seed "$seed" --bloc none --composite none --seeing 0 >/dev/null
        else
            "$build/tools/make-sequence" --out "$dir" --seed "$seed" --bloc none --composite none \
                --max-rotation 10 --max-shift 30 --angle=-12,12,1 --translation=40,1 >/dev/null
        fi
        cp -r "$dir" "$dir.a"
        echo "Affinage 1" >>"$dir.a/script.txt"
        t0=$(run "$dir")
        t1=$(run "$dir.a")
        s0=$(score --console "$dir/console.txt" "$dir/truth.txt")
        s1=$(score "$dir.a/affinage.lst" "$dir.a/truth.txt")
        s2=- t2=-
        if [ $ecc = yes ]; then
            t2=$(/usr/bin/python3 "$here/ecc_compare.py" "$dir" | awk '{ print $2 }')
            s2=$(score "$dir/ecc.lst" "$dir/truth.txt")
        fi
        printf "%-6s %-4s | %-15s %-7s | %-15s %-7s | %-15s %-7s | %-15s\n" $set $seed "$s0" "$t0" "$s1" "$t1" "$s2" "$t2" \
            "$(floor "$dir.a/affinage.lst" "$dir/truth.txt")"
    done
done
