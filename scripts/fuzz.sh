#!/usr/bin/env bash
# Runs every fuzz target for SECONDS from its corpus, JOBS at a time, and
# prints one line per target: executions, coverage and features reached,
# corpus size. New inputs go to BUILD/corpus/<target>, crashes and logs to
# BUILD/fuzz-logs. Fails when any target found a fault.
#
# The seed is fixed (FUZZ_SEED, default 1) so that a run is repeatable: a
# fault CI finds can be found again, and a run that passed here passes
# there. FUZZ_SEED=0 draws a new seed per run, for longer campaigns.
#
#   scripts/fuzz.sh BUILD SECONDS JOBS
set -euo pipefail
build=$1 seconds=$2 jobs=$3
seed=${FUZZ_SEED:-1}
logs=$build/fuzz-logs
rm -rf "$logs"
mkdir -p "$logs"
targets=$(for f in fuzz/*_fuzz.cpp; do basename "$f" .cpp; done)

run_one() {
  local name=$1 build=$2 seconds=$3 logs=$4 seed=$5
  mkdir -p "$build/corpus/$name"
  if "$build/fuzz/$name" -max_total_time="$seconds" -seed="$seed" -print_final_stats=1 \
    -artifact_prefix="$logs/$name-" "$build/corpus/$name" "fuzz/corpus/$name" \
    >"$logs/$name.log" 2>&1; then
    touch "$logs/$name.ok"
  fi
}
export -f run_one
echo "== fuzzing $(echo "$targets" | wc -w) targets for $seconds s each, $jobs at a time, seed $seed"
echo "$targets" | xargs -P "$jobs" -I{} bash -c "run_one {} '$build' '$seconds' '$logs' '$seed'"

failed=0
printf '%-32s %12s %8s %8s %8s\n' target executions cov ft corpus
for name in $targets; do
  log=$logs/$name.log
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}' || true)
  last=$(grep -E '(DONE|pulse|NEW|REDUCE) +cov:' "$log" | tail -n 1 || true)
  cov=$(echo "$last" | grep -o 'cov: [0-9]*' | awk '{print $2}')
  ft=$(echo "$last" | grep -o 'ft: [0-9]*' | awk '{print $2}')
  corpus=$(echo "$last" | grep -o 'corp: [0-9]*' | awk '{print $2}')
  printf '%-32s %12s %8s %8s %8s\n' "$name" "${execs:--}" "${cov:--}" "${ft:--}" "${corpus:--}"
  if [ ! -e "$logs/$name.ok" ]; then
    failed=1
    echo "---- $name failed; the end of its log:"
    tail -n 60 "$log"
  fi
done
exit $failed
