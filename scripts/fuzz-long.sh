#!/usr/bin/env bash
# The long fuzzing run: every fuzz target (or those named) for FUZZ_LONG_SECONDS
# (default 1800) or FUZZ_LONG_RUNS executions (default 10 000 000), whichever
# comes first, FUZZ_LONG_JOBS targets at a time (default 1). Each target starts
# from its corpus (corpus/<target>/ beside its source), and the inputs it finds that add
# coverage are merged into that folder beside the named seeds, so the grown
# corpora can be committed. A single input slower than FUZZ_LONG_TIMEOUT
# seconds (default 60) counts as a hang: generous, because a long run in the
# background of a loaded machine can stall for seconds.
# Logs in build/fuzz/long/<target>.log; a table of the results at the end.
#   scripts/fuzz-long.sh [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/project.sh
seconds=${FUZZ_LONG_SECONDS:-1800}
runs=${FUZZ_LONG_RUNS:-10000000}
jobs=${FUZZ_LONG_JOBS:-1}
timeout=${FUZZ_LONG_TIMEOUT:-60}
logs=$root/build/fuzz/long

run_one() {
  local name=$1 fuzzer corpus work start result
  fuzzer=$(find build/fuzz -maxdepth 3 -type f -name "$name" -perm -u+x | head -1)
  # A target's corpus lives in the corpus/ folder beside its source (okulon_fuzz_corpus).
  corpus=$(okulon_fuzz_corpus "$root" "$name")
  [ -n "$corpus" ] || corpus=$root/fuzz/corpus/$name
  work=$(mktemp -d)
  mkdir -p "$corpus"
  cp -r "$corpus"/. "$work"/
  start=$(date +%s)
  result=pass
  if ! "$fuzzer" -runs="$runs" -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$logs/$name-" "$work" >"$logs/$name.log" 2>&1; then
    result=FAIL
  fi
  echo "elapsed_seconds: $(( $(date +%s) - start ))" >>"$logs/$name.log"
  # The seeds stay; of the new inputs only those that add coverage join them.
  "$fuzzer" -merge=1 "$corpus" "$work" >"$logs/$name.merge.log" 2>&1
  rm -rf "$work"
  echo "$result" >"$logs/$name.result"
}

if [ "${1:-}" = "--one" ]; then
  run_one "$2"
  exit 0
fi

scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p "$logs"
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(find build/fuzz -maxdepth 3 -type f -name '*_fuzz' -perm -u+x -printf '%f\n' | sort)
fi
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} "$0" --one {}

status=0
printf '%-22s %12s %9s %10s %8s %s\n' target executions seconds exec/s corpus result
for name in "${targets[@]}"; do
  log=$logs/$name.log
  printf '%-22s %12s %9s %10s %8s %s\n' "$name" \
    "$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")" \
    "$(sed -n 's/^elapsed_seconds: *//p' "$log")" \
    "$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")" \
    "$(find "$root" -path "$root/build" -prune -o -type f -path "*corpus/$name/*" -print | wc -l)" \
    "$(cat "$logs/$name.result")"
  [ "$(cat "$logs/$name.result")" = pass ] || status=1
done
exit $status
