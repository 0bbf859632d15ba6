#!/usr/bin/env bash
# Every test: installs what is missing (and the BIDS validator), checks the
# layout of every C++ file and that every include stays within the libraries
# its target links, builds the native configurations (plain,
# AddressSanitizer+UBSan, ThreadSanitizer; the plain one also runs the record
# queue under the C++ memory model and the export through the BIDS validator)
# and both cross configurations, runs their tests (the cross ones under Wine
# of their own architecture), checks both DLLs from their files, makes the
# release package and tests it under Wine, then runs each fuzz target for a
# while. The i686 tests need a machine that runs 32-bit code; where the
# kernel refuses it they are skipped, and said so.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
FUZZ_SECONDS=${FUZZ_SECONDS:-120}
. scripts/machine.sh
. scripts/project.sh

scripts/setup.sh
# The BIDS validator for the export's test (npm ci into build/bids-validator).
scripts/bids-validator.sh || echo "export test with the BIDS validator: skipped, the validator could not be installed"
echo "disk: $(df -h --output=avail . | tail -1 | tr -d " ") free for the build (a whole run takes about 4 GB)"

status=0
run_native() {
  local preset=$1
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2 || status=1
}

# Wine prefixes hold a copy of every Wine DLL (0.6 GB win32, 1.3 GB win64) and
# take seconds to make again: each goes once its tests ran, so a whole run never
# holds more than one build's at a time.
drop_prefixes() {
  rm -rf "$1"/wineprefix "$1"/wineprefix-x11 "$1"/wineprefix*-create.log
}

# The Windows tests of one cross build under Wine, in its own prefix with a
# persistent wineserver started outside ctest.
run_under_wine() {
  local preset=$1 arch=$2
  echo "== $preset (tests under $arch Wine)"
  if ! scripts/wine-prefix.sh "$arch" create; then
    echo "$preset tests under Wine: not run, the Wine prefix could not be made"
    status=1
    return
  fi
  scripts/wine-prefix.sh "$arch" start
  trap "scripts/wine-prefix.sh $arch stop" EXIT
  local start_failures="build/$preset/wine-start-failures.log"
  rm -f "$start_failures"
  ctest --preset "$preset" || status=1
  if [ -s "$start_failures" ]; then
    echo "Wine failed to start $(wc -l <"$start_failures") test program(s) on the first try (each ran again):"
    cat "$start_failures"
  fi
  scripts/wine-prefix.sh "$arch" stop
  trap - EXIT
  drop_prefixes "build/$preset"
}

# Okulon.dll read from its file: machine, exports with ordinals, imports,
# embedded type library and registrar script, version information, and what
# its start-up and unload code can reach. Needs no Wine.
check_dll_file() {
  local build=$1 arch=$2 version
  version=$(okulon_project_version "build/$build")
  while [ "$(echo "$version" | tr -cd . | wc -c)" -lt 3 ]; do version="$version.0"; done
  echo "== $build: Okulon.dll from its file ($arch)"
  build/native/tools/dll_check/okulon_dll_check "build/$build/bin/Okulon.dll" "$arch" \
    --typelib "build/$build/server/okulon.tlb" --registry server/okulon.rgs --version "$version" || status=1
  # What runs on the host's thread at load and unload must leave nothing of the
  # DLL's threads library behind: a host that reloads the DLL would lose it each time.
  tools/dll_check/startup_path_check.sh "build/$build/bin/Okulon.dll" "$arch" || status=1
}

echo "== format (.clang-format)"
scripts/format.sh --check || { echo "formatting differs: scripts/format.sh applies it"; status=1; }

# Every quoted include names a header of a library its target links, in the
# native and both cross configurations, as CMake declares them.
echo "== includes (each within the libraries its target links)"
for preset in native cross cross64; do cmake --preset $preset >/dev/null; done
scripts/check-includes.py build/native build/cross build/cross64 || status=1

run_native native
run_native native-asan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_native native-tsan

# The drawing test needs an X server; say so where it cannot have one.
if ! xvfb-run -a true </dev/null >/dev/null 2>&1; then
  echo "drawing test under Xvfb: skipped, Xvfb cannot start on this machine"
fi

echo "== cross (i686, the product for 32-bit hosts)"
cmake --preset cross >/dev/null
cmake --build --preset cross
check_dll_file cross i686
if okulon_runs_32bit_code; then
  run_under_wine cross win32
else
  echo "i686 tests under Wine: skipped, this machine's kernel refuses 32-bit x86 code"
fi

echo "== cross64 (x86-64, for 64-bit hosts)"
cmake --preset cross64 >/dev/null
cmake --build --preset cross64
check_dll_file cross64 x86_64
run_under_wine cross64 win64

echo "== package (dist/okulon-<version>-windows.zip) and its test on 64-bit and 32-bit Windows under Wine"
scripts/package.sh || status=1
scripts/package-test.sh win64 || status=1
if okulon_runs_32bit_code; then
  scripts/package-test.sh win32 || status=1
else
  echo "package test on 32-bit Windows: skipped, this machine's kernel refuses 32-bit x86 code"
fi
drop_prefixes build/package-test-win64
drop_prefixes build/package-test-win32

echo "== fuzz (${FUZZ_SECONDS}s per target)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for fuzzer in $(find build/fuzz -maxdepth 3 -type f -name '*_fuzz' -perm -u+x | sort); do
  name=$(basename "$fuzzer")
  corpus=$(okulon_fuzz_corpus "$root" "$name")
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
