#!/usr/bin/env bash
# Runs every fuzz target of a KAL_FUZZ build on its seed corpus for a given time and fails
# on the first finding (crash, sanitizer report, broken invariant, leak, timeout, memory
# limit). New inputs and findings go to <build>/fuzz-work/<target>/; the seeds are read only.
#
#   CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKAL_FUZZ=ON -DKAL_BUILD_TESTS=OFF -DKAL_BUILD_BENCH=OFF
#   cmake --build build-fuzz
#   bash tests/fuzz/run_fuzzers.sh build-fuzz 120
set -euo pipefail
build=${1:?usage: run_fuzzers.sh BUILD_DIR [SECONDS]}
seconds=${2:-120}
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)

# target, seed folder, longest input. Scripts stay short (a few lines can still name 29,999
# images); BMP inputs may hold the largest seed whole.
targets=(
  "script_fuzzer script 4096"
  "bmp_fuzzer bmp 66000"
  "ser_fuzzer ser 20000"
  "fits_fuzzer fits 20000"
)

status=0
for entry in "${targets[@]}"; do
  read -r target seeds maxLen <<<"$entry"
  work="$build/fuzz-work/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/findings"
  log="$work/log.txt"
  echo "---- $target: ${seconds}s on tests/fuzz/corpus/$seeds (max_len $maxLen)"
  set +e
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len="$maxLen" -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=64 -print_final_stats=1 \
    -artifact_prefix="$work/findings/" "$work/corpus" "$here/corpus/$seeds" >"$log" 2>&1
  rc=$?
  set -e
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)' "$log" || true
  if [ $rc -ne 0 ] || [ -n "$(ls -A "$work/findings")" ]; then
    echo "!!!! $target: finding (exit $rc); end of its log:"
    tail -n 60 "$log"
    for f in "$work/findings"/*; do
      [ -f "$f" ] || continue
      echo "---- $f ($(stat -c %s "$f") bytes), base64:"
      base64 -w 76 "$f" | head -n 200
    done
    status=1
  fi
done
exit $status
