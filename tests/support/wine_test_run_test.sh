#!/usr/bin/env bash
# The cross builds' test launcher (scripts/wine-test-run) runs a program once
# more only when Wine ended it non-zero before it wrote anything, logs each such
# start, and lets a second failure stand. Checked with small cmd scripts that
# count their own runs in a file, in the running prefix of the given
# architecture, with a log of their own.
#   wine_test_run_test.sh win32|win64
set -uo pipefail
arch=${1:?usage: wine_test_run_test.sh win32|win64}
launcher="$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine-test-run"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
export OKULON_WINE_START_LOG="$work/start-failures.log"

failures=0
fail() {
  echo "FAILED: $case_name: $*"
  failures=$((failures + 1))
}

# launch <case name> <cmd script>: runs the script through the launcher from a
# clean state; sets status, output, runs (how often the script ran) and logged
# (lines in the log).
launch() {
  case_name=$1
  rm -f runs.txt second.txt "$OKULON_WINE_START_LOG"
  output=$("$launcher" "$arch" cmd /c "echo run>>runs.txt & $2")
  status=$?
  runs=0
  [ -f runs.txt ] && runs=$(wc -l <runs.txt)
  logged=0
  [ -f "$OKULON_WINE_START_LOG" ] && logged=$(wc -l <"$OKULON_WINE_START_LOG")
}

expect() {
  local want_status=$1 want_runs=$2 want_logged=$3
  [ "$status" -eq "$want_status" ] || fail "exit code $status, expected $want_status"
  [ "$runs" -eq "$want_runs" ] || fail "ran $runs time(s), expected $want_runs"
  [ "$logged" -eq "$want_logged" ] || fail "$logged log line(s), expected $want_logged"
}

launch "silent failure, then a pass" \
  "if exist second.txt (echo second run) else (echo x>second.txt & exit 3)"
expect 0 2 1
grep -q "exit code 3 after .* s with no output, run again: cmd /c" "$OKULON_WINE_START_LOG" ||
  fail "log line does not give the exit code and the command: $(cat "$OKULON_WINE_START_LOG")"
[[ $output == *"running it again"*"second run"* ]] || fail "output does not say it ran again: $output"

launch "silent failure twice" "exit 6"
expect 6 2 1

launch "failure with output" "echo a verdict & exit 5"
expect 5 1 0
[[ $output == *"a verdict"* ]] || fail "the program's output is missing: $output"

launch "silent pass" "exit 0"
expect 0 1 0

launch "pass with output" "echo all good"
expect 0 1 0
[[ $output == *"all good"* ]] || fail "the program's output is missing: $output"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "wine-test-run: retries only a silent non-zero end, once, and logs it"
