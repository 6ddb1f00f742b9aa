#!/usr/bin/env bash
# The stack against the ideal one (bench/stack_compare.py: every frame resampled with its true
# placement), with and without "Affinage 1" and "Bloc 32 8 4 1", on sequences made from the
# lunar sample (640 x 480, 8 frames, default seeing, blur and noise, Angle -5 5 1,
# Translation 20 1). Needs python3-opencv. SEEING=0 in the environment: frames without seeing.
#
#   bash bench/affinage_stack.sh BUILD_DIR [PROGRAM] [SEEDS...]
set -euo pipefail
export LC_ALL=C
build=$(cd "${1:?usage: affinage_stack.sh BUILD_DIR [PROGRAM] [SEEDS...]}" && pwd)
program=${2:-kalvorine}
shift $(( $# >= 2 ? 2 : 1 ))
seeds=("$@")
[ ${#seeds[@]} -gt 0 ] || seeds=(1 2 3)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf "%-5s | %-12s %-12s %-12s %-12s (RMS grey levels from the ideal stack)\n" seed global global+Bloc Affinage Affinage+Bloc
for seed in "${seeds[@]}"; do
    base="$work/s$seed"
    "$build/tools/make-sequence" --out "$base" --seed "$seed" ${SEEING:+--seeing "$SEEING"} >/dev/null
    row=()
    for variant in global bloc affinage affinage_bloc; do
        dir="$base.$variant"
        cp -r "$base" "$dir"
        case $variant in
            global) sed -i '/^Bloc/d' "$dir/script.txt" ;;
            affinage) sed -i '/^Bloc/d' "$dir/script.txt"; echo "Affinage 1" >>"$dir/script.txt" ;;
            affinage_bloc) echo "Affinage 1" >>"$dir/script.txt" ;;
        esac
        (cd "$dir" && "$build/$program" script.txt >console.txt)
        row+=("$(/usr/bin/python3 "$here/stack_compare.py" "$dir" | awk '{ print $7 }')")
    done
    printf "%-5s | %-12s %-12s %-12s %-12s\n" "$seed" "${row[@]}"
done
