#!/usr/bin/env bash
# The release as a Windows user meets it, under 64-bit Wine in a fresh prefix:
# unpacks dist/okulon-<version>-windows.zip (or the zip given) into
# "C:\Program Files\Okulon (test)", then install.cmd registers, the packaged host
# program creates the component by ProgID and streams from the packaged
# simulator, the check tool reports a working setup, and uninstall.cmd leaves
# no class, ProgID, application or type-library key behind. Also checks the
# zip's layout and that its binaries are stripped and carry version
# information. The 32-bit part runs where this machine runs 32-bit code;
# elsewhere install.cmd must say plainly that it failed.
#   scripts/package-test.sh [zip]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/machine.sh

zip=${1:-$(ls -t "$root"/dist/okulon-*-windows.zip 2>/dev/null | head -1)}
if [ -z "$zip" ] || [ ! -f "$zip" ]; then
  echo "PACKAGE TEST FAILED: no package; run scripts/package.sh first"
  exit 1
fi
zip=$(cd "$(dirname "$zip")" && pwd)/$(basename "$zip")
version=$(basename "$zip" | sed 's/^okulon-\(.*\)-windows\.zip$/\1/')

work="$root/build/package-test"
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX="$work/wineprefix"
# A folder with spaces and parentheses, as "C:\Program Files (x86)" has them.
install_dir="$WINEPREFIX/drive_c/Program Files/Okulon (test)"
win_dir='C:\Program Files\Okulon (test)'
class_id='{CD388263-B06C-4075-83EA-9955A69AA0B2}'
type_library_id='{A1CCCB9C-DD17-4759-BBC2-74F146466FE6}'

failures=0
pass() { echo "PASS $1"; }
fail() {
  echo "FAIL $1"
  failures=$((failures + 1))
}
expect() {  # expect <description> <command...>: passes when the command succeeds
  local description=$1
  shift
  if "$@"; then pass "$description"; else fail "$description"; fi
}
contains() { grep -qF -- "$2" "$1"; }

# Runs a Windows program in the package's folder, as from a command prompt
# opened there; its output goes to a file (no pipe that a Wine helper process
# could inherit and hold open), with CR LF made LF. Sets `code` to the exit code.
run() {
  local out=$1
  shift
  set +e
  (cd "$install_dir" && timeout 120 "$root/scripts/wine-run" win64 "$@") </dev/null >"$out.raw" 2>&1
  code=$?
  set -e
  tr -d '\r' <"$out.raw" >"$out"
}
show() { sed 's/^/    | /' "$1"; }

simulator_pid=""
cleanup() {
  if [ -n "$simulator_pid" ]; then kill "$simulator_pid" 2>/dev/null || true; fi
  scripts/wine-prefix.sh win64 stop
}
trap cleanup EXIT

# The native file check reads the version information of either architecture.
cmake --preset native >/dev/null
cmake --build --preset native --target okulon_dll_check >/dev/null
dll_check="$root/build/native/tools/dll_check/okulon_dll_check"
version_numbers=$(echo "$version.0.0.0" | cut -d. -f1-4)

echo "== package test: $zip in a fresh 64-bit Wine prefix"
scripts/wine-prefix.sh win64 create
scripts/wine-prefix.sh win64 start
mkdir -p "$install_dir"
(cd "$install_dir" && cmake -E tar xf "$zip")

# -- The zip's layout
missing=""
for entry in EyeTrackerLib.tlb install.cmd uninstall.cmd user-guide.md CHANGELOG.md LICENSE.txt; do
  [ -f "$install_dir/$entry" ] || missing="$missing $entry"
done
for arch in x86 x64; do
  for entry in Okulon.dll okulon_host.exe okulon_check.exe simtracker.exe simulator/tet.dll simulator/ttime.dll; do
    [ -f "$install_dir/$arch/$entry" ] || missing="$missing $arch/$entry"
  done
done
expect "the zip holds x86/ and x64/ with the component, programs and simulator, and the shared files${missing:+ (missing:$missing)}" \
  test -z "$missing"
shadowing=$(find "$install_dir/x86" "$install_dir/x64" -maxdepth 1 -iname 'tet.dll' -o -maxdepth 1 -iname 'ttime.dll')
expect "no tracker library stands next to Okulon.dll${shadowing:+ (found: $shadowing)}" test -z "$shadowing"
expect "install.cmd and uninstall.cmd have CR LF line ends" \
  bash -c "head -1 '$install_dir/install.cmd' | grep -q \$'\r' && head -1 '$install_dir/uninstall.cmd' | grep -q \$'\r'"

# -- Stripped binaries with their symbols beside the build, and version information
for pair in x86:cross:i686 x64:cross64:x86_64; do
  IFS=: read -r arch preset triple <<<"$pair"
  dll="$install_dir/$arch/Okulon.dll"
  expect "$arch/Okulon.dll carries no debug sections" \
    bash -c "! $triple-w64-mingw32-objdump -h '$dll' | grep -q '\.debug_'"
  expect "$arch/Okulon.dll names its symbol file Okulon.dll.debug" \
    bash -c "$triple-w64-mingw32-objcopy --dump-section .gnu_debuglink=/dev/stdout '$dll' 2>/dev/null | grep -qa 'Okulon.dll.debug'"
  expect "build/$preset/symbols/Okulon.dll.debug holds the symbols" \
    bash -c "$triple-w64-mingw32-objdump -h '$root/build/$preset/symbols/Okulon.dll.debug' | grep -q '\.debug_info'"
  expect "$arch/Okulon.dll carries version information: $version_numbers, VFT_DLL, ProductName Okulon" \
    "$dll_check" "$dll" "$triple" --version "$version_numbers"
done

# -- install.cmd
run "$work/install-x64.txt" cmd /c install.cmd x64
expect "install.cmd x64 exits 0" test "$code" -eq 0
expect "install.cmd x64 says it registered x64\\Okulon.dll" \
  contains "$work/install-x64.txt" "x64: registered \"$win_dir\\x64\\Okulon.dll\" for 64-bit hosts."
expect "install.cmd warns that tet.dll is missing and says where to put it" \
  contains "$work/install-x64.txt" "Copy the tracker vendor's 64-bit tet.dll into \"$win_dir\\x64\""
show "$work/install-x64.txt"
run "$work/registered.txt" reg query "HKCR\\CLSID\\$class_id\\InprocServer32"
expect "the class points to the packaged x64\\Okulon.dll" contains "$work/registered.txt" "$win_dir\\x64\\Okulon.dll"
WINEPATH="$win_dir\\x64\\simulator" run "$work/install-x64-again.txt" cmd /c install.cmd x64
expect "install.cmd x64 run a second time exits 0" test "$code" -eq 0
expect "install.cmd finds tet.dll on PATH and names it" \
  contains "$work/install-x64-again.txt" "x64: tet.dll found: \"$win_dir\\x64\\simulator\\tet.dll\""

run "$work/install-both.txt" cmd /c install.cmd
show "$work/install-both.txt"
if okulon_runs_32bit_code; then
  expect "install.cmd registers both architectures and exits 0" test "$code" -eq 0
  expect "install.cmd says it registered x86\\Okulon.dll" \
    contains "$work/install-both.txt" "x86: registered \"$win_dir\\x86\\Okulon.dll\" for 32-bit hosts."
else
  echo "     (this machine refuses 32-bit code: the 32-bit regsvr32 cannot start)"
  expect "install.cmd exits non-zero when the 32-bit part cannot be registered" test "$code" -ne 0
  expect "install.cmd says plainly that x86 failed and why" \
  bash -c "grep -qF 'x86: FAILED to register' '$work/install-both.txt' && grep -qF 'cannot run 32-bit programs' '$work/install-both.txt'"
  expect "install.cmd still registers x64 and says so" \
    contains "$work/install-both.txt" "Okulon is registered for: x64."
fi
run "$work/usage.txt" cmd /c install.cmd arm
expect "install.cmd with an unknown architecture shows its usage and exits 2" \
  bash -c "[ $code -eq 2 ] && grep -q 'Usage: install.cmd' '$work/usage.txt'"

# -- The packaged simulator, host program and check tool
"$root/scripts/wine-run" win64 "$install_dir/x64/simtracker.exe" --port=0 --rate=120 --lifetime=120 --idle_exit=60 \
  </dev/null >"$work/simulator.txt" 2>&1 &
simulator_pid=$!
port=""
for _ in $(seq 1 300); do
  port=$(sed -n 's/^simtracker listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/simulator.txt" | tr -d '\r')
  [ -n "$port" ] && break
  sleep 0.1
done
expect "the packaged simtracker.exe listens on 127.0.0.1" test -n "$port"
port=${port:-1}

export WINEPATH="$win_dir\\x64\\simulator"
run "$work/host.txt" "$install_dir/x64/okulon_host.exe" --host 127.0.0.1 --port "$port" --seconds 2 --calibrate no
expect "the packaged host program streams gaze from the packaged simulator (exit 0)" test "$code" -eq 0
expect "the host program created the component by its ProgID" \
  contains "$work/host.txt" 'created through CoCreateInstance("Okulon.EyeTrackerImpl"): 0x00000000'
grep -E '^  (gaze|pupil)' "$work/host.txt" | sed 's/^/    | /' || true

run "$work/check.txt" "$install_dir/x64/okulon_check.exe" --host 127.0.0.1 --port "$port" --seconds 2
show "$work/check.txt"
expect "the check tool reports a working setup (exit 0)" test "$code" -eq 0
expect "the check tool names the registered file and its version" \
  contains "$work/check.txt" "file: $win_dir\\x64\\Okulon.dll (file version $version"
expect "the check tool names the simulator's tet.dll on the search path" \
  contains "$work/check.txt" "tet.dll: $win_dir\\x64\\simulator\\tet.dll (file version"
expect "the check tool ends with a working verdict" contains "$work/check.txt" "Result: Okulon can be used."
unset WINEPATH

run "$work/check-no-libraries.txt" "$install_dir/x64/okulon_check.exe" --host 127.0.0.1 --port "$port"
expect "without the tracker libraries the check tool says none would be loaded and exits 1" \
  bash -c "[ $code -eq 1 ] && grep -q 'tet.dll: none would be loaded' '$work/check-no-libraries.txt'"
kill "$simulator_pid" 2>/dev/null || true
simulator_pid=""

# -- uninstall.cmd: both architectures where this machine runs 32-bit code, else x64
uninstall_choice=x64
if okulon_runs_32bit_code; then uninstall_choice=""; fi
run "$work/uninstall-x64.txt" cmd /c uninstall.cmd $uninstall_choice
show "$work/uninstall-x64.txt"
expect "uninstall.cmd ${uninstall_choice:-(both)} exits 0 and says so" \
  bash -c "[ $code -eq 0 ] && grep -qF 'x64: unregistered' '$work/uninstall-x64.txt'"
for key in "HKCR\\CLSID\\$class_id" "HKCR\\Okulon.EyeTrackerImpl" "HKCR\\Okulon.EyeTrackerImpl.1" \
           "HKCR\\TypeLib\\$type_library_id" "HKCR\\AppID\\$type_library_id" "HKCR\\AppID\\Okulon.DLL"; do
  run "$work/key.txt" reg query "$key"
  expect "after uninstall.cmd no key $key is left" test "$code" -ne 0
done
run "$work/uninstall-again.txt" cmd /c uninstall.cmd x64
expect "uninstall.cmd x64 run a second time exits 0" test "$code" -eq 0
run "$work/check-uninstalled.txt" "$install_dir/x64/okulon_check.exe"
expect "after uninstalling the check tool says the component is not registered and exits 1" \
  bash -c "[ $code -eq 1 ] && grep -q 'registered: no' '$work/check-uninstalled.txt'"

if [ $failures -eq 0 ]; then
  echo "PACKAGE TEST PASSED: $(basename "$zip")"
else
  echo "PACKAGE TEST FAILED: $failures check(s) failed; outputs in build/package-test"
  exit 1
fi
