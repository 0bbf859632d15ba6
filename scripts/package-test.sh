#!/usr/bin/env bash
# The release as a Windows user meets it, in a fresh Wine prefix: unpacks
# dist/okulon-<version>-windows.zip (or the zip given) into
# "C:\Program Files\Okulon (test)", then install.cmd registers, the packaged
# host program creates the component by ProgID and streams from the packaged
# simulator, the check tool reports a working setup that is simulated, and
# uninstall.cmd leaves no class, ProgID, application or type-library key
# behind. Also checks the zip's layout and that its binaries are stripped and
# carry version information.
#   win64 (default): 64-bit Windows. Both architectures where this machine runs
#     32-bit code: per-architecture uninstall keeps the other one working.
#     Elsewhere install.cmd must say plainly that the 32-bit part failed.
#   win32: 32-bit Windows (needs a machine that runs 32-bit code): x86 only,
#     and both scripts say that x64 is skipped.
#   scripts/package-test.sh [win64|win32] [zip]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/machine.sh
. scripts/project.sh

windows=${1:-win64}
case "$windows" in win64|win32) ;; *) echo "usage: $0 [win64|win32] [zip]" >&2; exit 2 ;; esac
zip=${2:-$(ls -t "$root"/dist/okulon-*-windows.zip 2>/dev/null | head -1)}
if [ -z "$zip" ] || [ ! -f "$zip" ]; then
  echo "PACKAGE TEST FAILED: no package; run scripts/package.sh first"
  exit 1
fi
zip=$(cd "$(dirname "$zip")" && pwd)/$(basename "$zip")
version=$(basename "$zip" | sed 's/^okulon-\(.*\)-windows\.zip$/\1/')

work="$root/build/package-test-$windows"
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX="$work/wineprefix"
# A folder with spaces and parentheses, as "C:\Program Files (x86)" has them.
install_dir="$WINEPREFIX/drive_c/Program Files/Okulon (test)"
win_dir='C:\Program Files\Okulon (test)'
# class_id, type_library_id and prog_id, as the build generated them from the IDL.
identity=$(ls "$root"/build/cross64/okulon_identity.env "$root"/build/cross/okulon_identity.env 2>/dev/null | head -1)
[ -n "$identity" ] || { echo "package test: no build/cross64 or build/cross (scripts/package.sh makes them)"; exit 1; }
. "$identity"
host_library_id='{DA03EB9A-4070-4B50-8F3D-E8270760CD4D}'
host_interface_id='{24D9A6F3-1D31-44B5-9DEB-C4D846D3DB71}'

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
lacks() { ! grep -qF -- "$2" "$1"; }

# Runs a Windows program in the package's folder, as from a command prompt
# opened there; its output goes to a file (no pipe that a Wine helper process
# could inherit and hold open), with CR LF made LF. Sets `code` to the exit
# code and `seconds` to how long it took.
run() {
  local out=$1 started
  shift
  started=$(date +%s)
  set +e
  (cd "$install_dir" && timeout 120 "$root/scripts/wine-run" "$windows" "$@") </dev/null >"$out.raw" 2>&1
  code=$?
  set -e
  seconds=$(($(date +%s) - started))
  tr -d '\r' <"$out.raw" >"$out"
}
show() { sed 's/^/    | /' "$1"; }

simulator_pid=""
stop_simulator() {
  if [ -n "$simulator_pid" ]; then kill "$simulator_pid" 2>/dev/null || true; fi
  simulator_pid=""
}
cleanup() {
  stop_simulator
  scripts/wine-prefix.sh "$windows" stop
}
trap cleanup EXIT

# start_simulator <arch>: the packaged simtracker.exe of that architecture on a free port; sets `port`.
start_simulator() {
  "$root/scripts/wine-run" "$windows" "$install_dir/$1/simtracker.exe" --port=0 --rate 120 --lifetime=120 --idle_exit 60 \
    </dev/null >"$work/simulator-$1.txt" 2>&1 &
  simulator_pid=$!
  port=$(okulon_simulator_port "$work/simulator-$1.txt")
  expect "the packaged $1/simtracker.exe listens on 127.0.0.1" test -n "$port"
  port=${port:-1}
}

# session <arch> <out>: a host session of that architecture with the simulator's libraries on PATH.
session() {
  WINEPATH="$win_dir\\$1\\simulator" run "$2" "$install_dir/$1/okulon_host.exe" \
    --host 127.0.0.1 --port "$port" --seconds 2 --calibrate no
}

# no_keys_left <when>: none of the component's keys, nor the host library's.
no_keys_left() {
  for key in "HKCR\\CLSID\\$class_id" "HKCR\\$prog_id" "HKCR\\$prog_id.1" \
             "HKCR\\TypeLib\\$type_library_id" "HKCR\\AppID\\$type_library_id" "HKCR\\AppID\\Okulon.DLL" \
             "HKCR\\TypeLib\\$host_library_id" "HKCR\\Interface\\$host_interface_id"; do
    run "$work/key.txt" reg query "$key"
    expect "$1 no key $key is left" test "$code" -ne 0
  done
}

# The native file check reads the version information of either architecture.
cmake --preset native >/dev/null
cmake --build --preset native --target okulon_dll_check >/dev/null
dll_check="$root/build/native/tools/dll_check/okulon_dll_check"
version_numbers=$(echo "$version.0.0.0" | cut -d. -f1-4)

echo "== package test: $zip in a fresh $windows Wine prefix"
scripts/wine-prefix.sh "$windows" create
scripts/wine-prefix.sh "$windows" start
mkdir -p "$install_dir"
(cd "$install_dir" && cmake -E tar xf "$zip")

# -- The zip's layout
missing=""
for entry in EyeTrackerLib.tlb install.cmd uninstall.cmd user-guide.md CHANGELOG.md LICENSE.txt; do
  [ -f "$install_dir/$entry" ] || missing="$missing $entry"
done
for arch in x86 x64; do
  for entry in Okulon.dll okulon_host.exe okulon_check.exe okulon_export.exe simtracker.exe simulator/tet.dll simulator/ttime.dll; do
    [ -f "$install_dir/$arch/$entry" ] || missing="$missing $arch/$entry"
  done
done
expect "the zip holds x86/ and x64/ with the component, programs and simulator, and the shared files${missing:+ (missing:$missing)}" \
  test -z "$missing"
shadowing=$(find "$install_dir/x86" "$install_dir/x64" -maxdepth 1 -iname 'tet.dll' -o -maxdepth 1 -iname 'ttime.dll')
expect "no tracker library stands next to Okulon.dll${shadowing:+ (found: $shadowing)}" test -z "$shadowing"
expect "install.cmd and uninstall.cmd have CR LF line ends" \
  bash -c "head -1 '$install_dir/install.cmd' | grep -q \$'\r' && head -1 '$install_dir/uninstall.cmd' | grep -q \$'\r'"

# -- The shipped texts
changelog_heading=$(grep -m1 '^## ' "$install_dir/CHANGELOG.md" || true)
names_version() { [[ $1 == "## $version" || $1 == "## $version "* ]]; }
expect "CHANGELOG.md's first heading names the package's version $version (it is \"$changelog_heading\")" \
  names_version "$changelog_heading"

# A shipped text names a file when a token ends in one of these extensions
# (its last component must be a file somewhere in the package, in any case, as
# Windows finds files), or when it is a path of names joined by "/" that ends
# in "/" or has three or more names (it must end a path in the package). The
# package's own paths are mostly written with "\", so such a path is usually
# one of the source repository's; "n/a" and "and/or" are not paths.
# Not looked up: the tracker vendor's tet.dll and ttime.dll, which the user
# brings (the stand-ins of those names in simulator\ are not the ones the texts
# mean), and the user's own files in the examples: their host program and the
# files they name or the exporter writes for them.
text_extensions='md|txt|dll|exe|cmd|tlb|tsv|csv|json|sh|cpp|h|py'
users_and_vendors_files=' tet.dll ttime.dll host.exe p01.txt session.csv dataset_description.json '
unshipped_names() {  # unshipped_names <text>: what it names that is not in the package
  local name path
  {
    grep -oiP "(?<![A-Za-z0-9_.<>-])[A-Za-z0-9_.<>-]+\.($text_extensions)(?![A-Za-z0-9_.])" "$1" || true
  } | while read -r name; do
    case "$users_and_vendors_files" in *" ${name,,} "*) continue ;; esac
    [ -n "$(find "$install_dir" -iname "$name" -print -quit)" ] || echo "$name"
  done
  {
    sed -E 's#[A-Za-z]+://[^ )>]*##g' "$1" | grep -oP '[A-Za-z0-9_.<>*-]+(/[A-Za-z0-9_.<>*-]+)+/?' || true
  } | while read -r path; do
    case "$path" in
      */ | */*/*) [ -n "$(find "$install_dir" -ipath "*/${path%/}" -print -quit)" ] || echo "$path" ;;
    esac
  done
}
while read -r text; do
  unshipped=$(unshipped_names "$text" | sort -u | tr '\n' ' ')
  expect "$(basename "$text") names only files that ship${unshipped:+ (not in the package: $unshipped)}" \
    test -z "$unshipped"
done < <(find "$install_dir" -maxdepth 1 -type f \( -iname '*.md' -o -iname '*.txt' -o -iname 'readme*' \))

# -- Stripped binaries with their symbols beside the build, and version information
if [ "$windows" = win64 ]; then
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
fi

# -- The programs' arguments: --help and --version end at once, a bad argument is named
host_arch=x64
[ "$windows" = win32 ] && host_arch=x86
for program in okulon_host okulon_check okulon_export simtracker; do
  run "$work/help.txt" "$install_dir/$host_arch/$program.exe" --help
  expect "$program --help prints its usage and ends without doing anything else (exit 0)" \
    bash -c "[ $code -eq 0 ] && grep -q 'usage: $program' '$work/help.txt' && ! grep -q 'created through\|listening\|Component' '$work/help.txt'"
  run "$work/version.txt" "$install_dir/$host_arch/$program.exe" --version
  expect "$program --version prints $version_numbers" bash -c "[ $code -eq 0 ] && grep -q '$program $version_numbers' '$work/version.txt'"
done
run "$work/host-bad.txt" "$install_dir/$host_arch/okulon_host.exe" --colour blue
expect "okulon_host with an unknown option ends at once with exit 2 and names it" \
  bash -c "[ $code -eq 2 ] && grep -qF 'unknown option \"--colour\"' '$work/host-bad.txt' && ! grep -q 'created through' '$work/host-bad.txt'"
run "$work/host-bad.txt" "$install_dir/$host_arch/okulon_host.exe" --port=70000
expect "okulon_host with a port out of range exits 2 and names it" \
  bash -c "[ $code -eq 2 ] && grep -qF -- '--port 70000: expected a port number from 1 to 65535' '$work/host-bad.txt'"
run "$work/export.txt" "$install_dir/$host_arch/okulon_export.exe" --recording "$root/tests/export/recording.txt" \
  --dataset "$work/exported" --subject 01 --task gaze
expect "the packaged okulon_export turns a recording into a BIDS dataset (exit 0)" \
  bash -c "[ $code -eq 0 ] && grep -qF '7 samples in 2 stretches of tracking' '$work/export.txt' && [ -s '$work/exported/sub-01/beh/sub-01_task-gaze_recording-eye1_physio.tsv.gz' ]"
run "$work/simulator-bad.txt" "$install_dir/$host_arch/simtracker.exe" --rate 5
expect "simtracker with a rate out of range exits 2 and names it" \
  bash -c "[ $code -eq 2 ] && grep -qF -- '--rate 5: bad value for rate' '$work/simulator-bad.txt'"

if [ "$windows" = win32 ]; then
  # -- 32-bit Windows: x86 only; both scripts say that x64 is skipped.
  run "$work/install.txt" cmd /c install.cmd
  show "$work/install.txt"
  expect "install.cmd on 32-bit Windows registers x86 and exits 0" \
    bash -c "[ $code -eq 0 ] && grep -qF 'x86: registered \"$win_dir\\x86\\Okulon.dll\" for 32-bit hosts.' '$work/install.txt'"
  expect "install.cmd on 32-bit Windows says x64 is skipped" \
    contains "$work/install.txt" "x64: skipped, this Windows is 32-bit and has no 64-bit hosts."
  run "$work/install-x64.txt" cmd /c install.cmd x64
  expect "install.cmd x64 on 32-bit Windows fails with exit 1 and says why" \
    bash -c "[ $code -eq 1 ] && grep -qF 'a 64-bit DLL cannot be registered on 32-bit Windows' '$work/install-x64.txt'"
  start_simulator x86
  session x86 "$work/host.txt"
  expect "a 32-bit host session streams gaze from the simulator (exit 0)" test "$code" -eq 0
  expect "the host session says its data are simulated" contains "$work/host.txt" "SIMULATED DATA:"
  stop_simulator
  run "$work/uninstall.txt" cmd /c uninstall.cmd
  show "$work/uninstall.txt"
  expect "uninstall.cmd on 32-bit Windows unregisters x86 and exits 0" \
    bash -c "[ $code -eq 0 ] && grep -qF 'x86: unregistered' '$work/uninstall.txt'"
  expect "uninstall.cmd on 32-bit Windows says x64 is skipped" \
    contains "$work/uninstall.txt" "x64: skipped, this Windows is 32-bit and has no 64-bit hosts."
  no_keys_left "after uninstall.cmd"
  if [ $failures -eq 0 ]; then echo "PACKAGE TEST PASSED ($windows): $(basename "$zip")"; exit 0; fi
  echo "PACKAGE TEST FAILED ($windows): $failures check(s) failed; outputs in build/package-test-$windows"
  exit 1
fi

# -- install.cmd
run "$work/install-x64.txt" cmd /c install.cmd X64
expect "install.cmd X64 (any case) exits 0" test "$code" -eq 0
expect "install.cmd X64 registers the packaged x64\\Okulon.dll under its own name" \
  contains "$work/install-x64.txt" "x64: registered \"$win_dir\\x64\\Okulon.dll\" for 64-bit hosts."
expect "install.cmd warns that tet.dll is missing and says where to put it" \
  contains "$work/install-x64.txt" "Copy the tracker vendor's 64-bit tet.dll into \"$win_dir\\x64\""
show "$work/install-x64.txt"
run "$work/registered.txt" reg query "HKCR\\CLSID\\$class_id\\InprocServer32"
expect "the class points to the packaged x64\\Okulon.dll" contains "$work/registered.txt" "$win_dir\\x64\\Okulon.dll"
WINEPATH="$win_dir\\x64\\simulator" run "$work/install-x64-again.txt" cmd /c install.cmd x64
show "$work/install-x64-again.txt"
expect "install.cmd x64 run a second time exits 0" test "$code" -eq 0
expect "install.cmd finds tet.dll on PATH as a 64-bit host would, and names it" \
  contains "$work/install-x64-again.txt" "x64: tet.dll: $win_dir\\x64\\simulator\\tet.dll (file version $version_numbers, 64-bit), found on the DLL search path"
expect "install.cmd says plainly that the stand-in libraries mean simulated data" \
  bash -c "grep -qF 'x64: WARNING, these are the simulator'\''s stand-in libraries' '$work/install-x64-again.txt' && grep -qF 'SIMULATED gaze data' '$work/install-x64-again.txt'"
cp "$install_dir/x86/simulator/tet.dll" "$install_dir/x64/tet.dll"
run "$work/install-wrong-arch.txt" cmd /c install.cmd x64
rm -f "$install_dir/x64/tet.dll"
expect "install.cmd x64 tells a 32-bit tet.dll beside the 64-bit Okulon.dll from a usable one" \
  bash -c "grep -qF 'WRONG ARCHITECTURE: 64-bit hosts cannot load it' '$work/install-wrong-arch.txt' && grep -qF 'no usable 64-bit tet.dll would be loaded' '$work/install-wrong-arch.txt'"

run "$work/install-both.txt" cmd /c install.cmd x86 x64
show "$work/install-both.txt"
if okulon_runs_32bit_code; then
  expect "install.cmd x86 x64 registers both architectures and exits 0" \
    bash -c "[ $code -eq 0 ] && grep -qF 'Okulon is registered for: x86 x64.' '$work/install-both.txt'"
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
expect "install.cmd with an unknown architecture names it, shows its usage and exits 2" \
  bash -c "[ $code -eq 2 ] && grep -qF 'unknown argument \"arm\"' '$work/usage.txt' && grep -q 'Usage: install.cmd' '$work/usage.txt'"

# -- The packaged simulator, host program and check tool
start_simulator x64
run "$work/simulator-taken.txt" "$install_dir/x64/simtracker.exe" --port "$port"
expect "a second simtracker on the same port exits 1 and names an earlier simtracker as the likely holder" \
  bash -c "[ $code -eq 1 ] && grep -qF 'cannot bind 127.0.0.1:$port: the port is in use' '$work/simulator-taken.txt' && grep -qF 'An earlier simtracker may hold it' '$work/simulator-taken.txt'"
session x64 "$work/host.txt"
expect "the packaged host program streams gaze from the packaged simulator (exit 0)" test "$code" -eq 0
expect "the host program created the component by its ProgID" \
  contains "$work/host.txt" "created through CoCreateInstance(\"$prog_id\"): 0x00000000"
expect "the host program says at the start that the session's data are simulated" \
  contains "$work/host.txt" "SIMULATED DATA: the tracker library $win_dir\\x64\\simulator\\tet.dll is Okulon's stand-in"
expect "the host program finds the host type library one folder up and does not register it" \
  contains "$work/host.txt" "host type library: $win_dir\\EyeTrackerLib.tlb: loaded (not registered)"
grep -E '^  (gaze|pupil)' "$work/host.txt" | sed 's/^/    | /' || true

WINEPATH="$win_dir\\x64\\simulator" run "$work/check.txt" "$install_dir/x64/okulon_check.exe" --host 127.0.0.1 --port "$port" --seconds 2
show "$work/check.txt"
expect "the check tool reports a working setup with simulated data (exit 3)" test "$code" -eq 3
expect "the check tool names the registered file and its version" \
  contains "$work/check.txt" "file: $win_dir\\x64\\Okulon.dll (file version $version"
expect "the check tool names the simulator's tet.dll on the search path" \
  contains "$work/check.txt" "tet.dll: $win_dir\\x64\\simulator\\tet.dll (file version"
expect "the check tool's verdict is never 'can be used' with the stand-ins" \
  bash -c "grep -qF 'Result: Okulon works, but ONLY WITH SIMULATED DATA' '$work/check.txt' && ! grep -qF 'Result: Okulon can be used.' '$work/check.txt'"
cp "$install_dir/x64/simulator/tet.dll" "$install_dir/x64/simulator/ttime.dll" "$install_dir/x64/"
run "$work/check-beside.txt" "$install_dir/x64/okulon_check.exe" --host 127.0.0.1 --port "$port" --seconds 0
rm -f "$install_dir/x64/tet.dll" "$install_dir/x64/ttime.dll"
expect "with the stand-ins copied beside Okulon.dll the check tool says SIMULATED (exit 3)" \
  bash -c "[ $code -eq 3 ] && grep -qF 'beside Okulon.dll' '$work/check-beside.txt' && grep -qF 'SIMULATED: this is Okulon' '$work/check-beside.txt'"
cp "$install_dir/x64/simulator/tet.dll" "$install_dir/x64/"
run "$work/install-no-ttime.txt" cmd /c install.cmd x64
rm -f "$install_dir/x64/tet.dll"
expect "with tet.dll but no ttime.dll install.cmd registers and warns that the clocks differ (exit 0)" \
  bash -c "[ $code -eq 0 ] && grep -qF 'x64: WARNING, no usable 64-bit ttime.dll would be loaded, so the CLOCKS DIFFER' '$work/install-no-ttime.txt'"

run "$work/check-no-libraries.txt" "$install_dir/x64/okulon_check.exe" --host 127.0.0.1 --port "$port"
expect "without the tracker libraries the check tool says none would be loaded and exits 1" \
  bash -c "[ $code -eq 1 ] && grep -q 'tet.dll: none would be loaded' '$work/check-no-libraries.txt'"

# A registered Okulon.dll that was deleted: the session fails, as in a real host.
mkdir -p "$install_dir/deleted"
cp "$install_dir/x64/Okulon.dll" "$install_dir/deleted/Okulon.dll"
run "$work/register-deleted.txt" regsvr32 /s "$win_dir\\deleted\\Okulon.dll"
rm -rf "$install_dir/deleted"
session x64 "$work/host-deleted.txt"
show "$work/host-deleted.txt"
expect "with the registered DLL deleted the host session fails with exit 1 and uses no other DLL" \
  bash -c "[ $code -eq 1 ] && grep -qF 'the registered component cannot be created' '$work/host-deleted.txt' && ! grep -q 'DllGetClassObject' '$work/host-deleted.txt'"
run "$work/install-x64-restore.txt" cmd /c install.cmd x64

# -- Per-architecture uninstall keeps the other architecture working: the
# ProgID and AppID keys are shared by both registry views.
if okulon_runs_32bit_code; then
  run "$work/uninstall-x86.txt" cmd /c uninstall.cmd x86
  show "$work/uninstall-x86.txt"
  expect "uninstall.cmd x86 exits 0 and says x64 is still registered" \
    bash -c "[ $code -eq 0 ] && grep -qF 'x86: unregistered' '$work/uninstall-x86.txt' && grep -qF 'x64: still registered: \"$win_dir\\x64\\Okulon.dll\"' '$work/uninstall-x86.txt'"
  WINEPATH="$win_dir\\x64\\simulator" run "$work/check-x64-kept.txt" "$install_dir/x64/okulon_check.exe" --host 127.0.0.1 --port "$port" --seconds 0
  expect "after uninstall.cmd x86 the x64 check tool finds the component registered and working" \
    bash -c "[ $code -eq 3 ] && grep -q 'registered: yes' '$work/check-x64-kept.txt'"
  session x64 "$work/host-x64-kept.txt"
  expect "after uninstall.cmd x86 a 64-bit host session still streams (exit 0)" test "$code" -eq 0
  run "$work/check-x86-gone.txt" "$install_dir/x86/okulon_check.exe" --seconds 0
  expect "after uninstall.cmd x86 the x86 check tool finds no 32-bit registration" \
    bash -c "[ $code -eq 1 ] && grep -q 'no file for 32-bit programs' '$work/check-x86-gone.txt'"

  run "$work/install-x86.txt" cmd /c install.cmd x86
  run "$work/uninstall-x64.txt" cmd /c uninstall.cmd X64
  show "$work/uninstall-x64.txt"
  expect "uninstall.cmd X64 exits 0 and says x86 is still registered" \
    bash -c "[ $code -eq 0 ] && grep -qF 'x64: unregistered' '$work/uninstall-x64.txt' && grep -qF 'x86: still registered' '$work/uninstall-x64.txt'"
  stop_simulator
  start_simulator x86
  session x86 "$work/host-x86-kept.txt"
  expect "after uninstall.cmd x64 a 32-bit host session still streams (exit 0)" test "$code" -eq 0
  stop_simulator
  run "$work/uninstall.txt" cmd /c uninstall.cmd
else
  stop_simulator
  run "$work/uninstall.txt" cmd /c uninstall.cmd x64
fi
show "$work/uninstall.txt"
expect "uninstall.cmd exits 0 and says so" \
  bash -c "[ $code -eq 0 ] && grep -qF 'x64: unregistered' '$work/uninstall.txt' && grep -qF 'The folder can now be deleted.' '$work/uninstall.txt'"
no_keys_left "after uninstall.cmd"
run "$work/uninstall-again.txt" cmd /c uninstall.cmd x64
expect "uninstall.cmd x64 run a second time exits 0" test "$code" -eq 0
run "$work/check-uninstalled.txt" "$install_dir/x64/okulon_check.exe"
expect "after uninstalling the check tool says the component is not registered and exits 1" \
  bash -c "[ $code -eq 1 ] && grep -q 'registered: no' '$work/check-uninstalled.txt'"

if [ $failures -eq 0 ]; then
  echo "PACKAGE TEST PASSED ($windows): $(basename "$zip")"
else
  echo "PACKAGE TEST FAILED ($windows): $failures check(s) failed; outputs in build/package-test-$windows"
  exit 1
fi
