#!/usr/bin/env bash
# Every test: installs what is missing, builds the native configurations
# (plain, AddressSanitizer+UBSan, ThreadSanitizer) and the cross configuration,
# runs their tests (the cross ones under Wine), then runs each fuzz target for a while.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
FUZZ_SECONDS=${FUZZ_SECONDS:-120}

scripts/setup.sh

status=0
run_native() {
  local preset=$1
  echo "== $preset"
  cmake --preset "$preset" -G Ninja >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2 || status=1
}

run_native native
run_native native-asan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_native native-tsan

echo "== cross (tests under Wine)"
cmake --preset cross -G Ninja >/dev/null
cmake --build --preset cross
scripts/wine-prefix.sh create
scripts/wine-prefix.sh start
trap 'scripts/wine-prefix.sh stop' EXIT
ctest --preset cross || status=1
scripts/wine-prefix.sh stop
trap - EXIT

echo "== fuzz (${FUZZ_SECONDS}s per target)"
cmake --preset fuzz -G Ninja >/dev/null
cmake --build --preset fuzz
for fuzzer in $(find build/fuzz -maxdepth 3 -type f -name '*_fuzz' -perm -u+x | sort); do
  name=$(basename "$fuzzer")
  corpus=$(find "$root" -path "$root/build" -prune -o -type d -path "*corpus/$name" -print | head -1)
  work=$(mktemp -d)
  [ -n "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "-- $name"
  if ! "$fuzzer" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" \
       > "build/fuzz/$name.log" 2>&1; then
    tail -40 "build/fuzz/$name.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units' "build/fuzz/$name.log" || true
  fi
  rm -rf "$work"
done

if [ $status -eq 0 ]; then echo "ALL TESTS PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status
