#!/usr/bin/env bash
# Runs every harness for a bounded time and prints executions, coverage and
# findings. Exits non-zero when any harness found a crash, leak or timeout.
set -uo pipefail
build=$1
seconds=$2
status=0
total=0
for harness in fas coff whole; do
  corpus="$build/corpus/$harness"
  mkdir -p "$corpus"
  log="$build/$harness.log"
  ASAN_OPTIONS=detect_leaks=0 "$build/fuzz/${harness}_fuzz" -max_total_time="$seconds" -timeout=10 -close_fd_mask=1 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$build/${harness}-" \
    "$corpus" "$build/seeds/$harness" >"$log" 2>&1
  rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  total=$((total + ${runs:-0}))
  if [ $rc -ne 0 ]; then
    status=1
    echo "$harness: FINDING (exit $rc), see $log"
    grep -m 5 -E 'ERROR|SUMMARY|Test unit written' "$log"
  else
    echo "$harness: ${runs:-0} executions, $cov, corpus $(ls "$corpus" | wc -l) files, no findings"
  fi
done
echo "fuzzing: $total executions in all"
exit $status
