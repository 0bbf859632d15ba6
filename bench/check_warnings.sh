#!/usr/bin/env bash
# How often the check tool raises a clock warning against a simulated tracker
# whose clock keeps exact time (0 ppm drift, 0 offset), where every warning is
# a false alarm: runs okulon_check RUNS times with its default window (or the
# options given) and counts the drift warnings and the clock-difference
# warnings. Uses the cross build (win32) or the cross64 build (win64) and that
# build's Wine prefix, which must exist (scripts/wine-prefix.sh ARCH create).
#   bench/check_warnings.sh [win32|win64] [RUNS] [okulon_check options...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/project.sh
arch=${1:-win32}
runs=${2:-100}
shift $(($# < 2 ? $# : 2))
build=build/cross
[ "$arch" = win64 ] && build=build/cross64
bin=$build/bin

scripts/wine-prefix.sh "$arch" start
log=$(mktemp)
scripts/wine-run "$arch" "$bin/simtracker.exe" --port 0 --rate 300 --idle_exit 30 --lifetime 3600 >"$log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true; rm -f "$log"; scripts/wine-prefix.sh '"$arch"' stop' EXIT
port=$(okulon_simulator_port "$log")
[ -n "$port" ] || { echo "simulator did not start:"; cat "$log"; exit 1; }
scripts/wine-run "$arch" regsvr32 /s "$bin/Okulon.dll"

drift=0 clocks=0 other=0
for run in $(seq 1 "$runs"); do
  output=$(scripts/wine-run "$arch" "$bin/okulon_check.exe" --host 127.0.0.1 --port "$port" "$@" 2>&1) || true
  grep -q "WARNING: the tracker clock drifts" <<<"$output" && drift=$((drift + 1))
  grep -q "CLOCKS DIFFER" <<<"$output" && clocks=$((clocks + 1))
  grep -q "^Result: Okulon works, but ONLY WITH SIMULATED DATA" <<<"$output" || other=$((other + 1))
done
echo "check_warnings ($arch, $runs runs, options: ${*:-default}): drift warnings $drift, clock-difference warnings $clocks, other verdicts $other"
