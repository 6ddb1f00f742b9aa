#!/usr/bin/env bash
# Runs every fuzz target of a KAL_FUZZ build on its seed corpus for a given time and fails
# on the first finding (crash, sanitizer report, broken invariant, leak, timeout, memory
# limit). New inputs and findings go to <build>/fuzz-work/<target>/; the seeds are read only.
#   cmake --preset fuzz && cmake --build --preset fuzz && bash tests/fuzz/run_fuzzers.sh build-fuzz 120
set -uo pipefail
build=$(cd "${1:?usage: run_fuzzers.sh BUILD_DIR [SECONDS]}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
status=0
# Target and longest input: scripts stay short (a few lines can still name 29,999 images);
# BMP inputs may hold the largest seed whole.
for entry in "script 4096" "bmp 66000" "ser 20000" "fits 20000"; do
  read -r name maxLen <<<"$entry"
  work="$build/fuzz-work/${name}_fuzzer"
  rm -rf "$work" && mkdir -p "$work/corpus" "$work/findings"
  echo "---- ${name}_fuzzer: ${2:-120}s on tests/fuzz/corpus/$name (max_len $maxLen)"
  "$build/tests/fuzz/${name}_fuzzer" -max_total_time="${2:-120}" -max_len="$maxLen" -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=64 -print_final_stats=1 -artifact_prefix="$work/findings/" "$work/corpus" "$here/corpus/$name" \
    >"$work/log.txt" 2>&1
  rc=$?
  grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' "$work/log.txt"
  if [ $rc -ne 0 ] || [ -n "$(ls -A "$work/findings")" ]; then
    echo "!!!! ${name}_fuzzer: finding (exit $rc); end of its log, then the findings in base64:"
    tail -n 60 "$work/log.txt"
    for f in "$work/findings"/*; do [ -f "$f" ] && base64 -w 76 "$f" | head -n 200; done
    status=1
  fi
done
exit $status
