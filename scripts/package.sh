#!/usr/bin/env bash
# Makes the Windows release dist/okulon-<version>-windows.zip from both cross
# builds: x86/ (i686) and x64/ (x86-64), each with a stripped Okulon.dll, the
# host program, the check tool, the exporter, simtracker.exe and the stand-in tracker
# libraries in simulator/; at the top the host's type library, install.cmd,
# uninstall.cmd, the user guide, the changelog and the licence. The debug
# symbols stay beside the builds, in build/<preset>/symbols/*.debug, and each
# stripped binary names its symbol file (.gnu_debuglink).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/project.sh

scripts/setup.sh

shipped_targets=(Okulon okulon_host okulon_check okulon_export simtracker tet ttime)
for preset in cross cross64; do
  echo "== package: building $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2 --target "${shipped_targets[@]}"
done

version=$(okulon_project_version build/cross)
name="okulon-$version-windows"
stage="$root/build/package/$name"
zip="$root/dist/$name.zip"
rm -rf "$stage" "$zip"
mkdir -p "$stage" "$root/dist"

status=0
# x64 first: the shared files at the top then come from the i686 build, the
# product for 32-bit hosts (its EyeTrackerLib.tlb is the 32-bit library).
for pair in cross64:x64 cross:x86; do
  preset=${pair%%:*}
  folder=${pair##*:}
  build="$root/build/$preset"
  objcopy=$(sed -n 's/^CMAKE_OBJCOPY:FILEPATH=//p' "$build/CMakeCache.txt")
  objdump=${objcopy%objcopy}objdump
  echo "== package: $folder from $preset"
  cmake --install "$build" --prefix "$stage" --component okulon --strip >/dev/null
  mkdir -p "$build/symbols"
  for binary in Okulon.dll okulon_host.exe okulon_check.exe okulon_export.exe simtracker.exe simulator/tet.dll simulator/ttime.dll; do
    file=$(basename "$binary")
    "$objcopy" --only-keep-debug "$build/bin/$file" "$build/symbols/$file.debug"
    (cd "$build/symbols" && "$objcopy" --add-gnu-debuglink="$file.debug" "$stage/$folder/$binary")
    if "$objdump" -h "$stage/$folder/$binary" | grep -q '\.debug_'; then
      echo "FAIL $folder/$binary still carries debug sections"
      status=1
    fi
  done
done

# The shipped changelog is headed by the package's version: the staged copy's
# "## Unreleased" becomes "## <version> — <date of packaging>". If the
# changelog already has a section for this version, that version was released
# before these changes, and the zip must not carry its number.
changelog="$stage/CHANGELOG.md"
if [ "$(grep -m1 '^## ' "$changelog")" = "## Unreleased" ]; then
  if grep -qE "^## ${version//./\\.}( |$)" "$changelog"; then
    echo "PACKAGE FAILED: CHANGELOG.md has changes under \"## Unreleased\" after a section for $version;" \
      "raise the version in CMakeLists.txt (project(Okulon VERSION ...)) first"
    exit 1
  fi
  sed -i "0,/^## Unreleased\$/s//## $version — $(date -u +%Y-%m-%d)/" "$changelog"
fi

# Batch files need CR LF line ends on Windows, whatever the checkout did.
for script in install.cmd uninstall.cmd; do
  sed -i 's/\r*$/\r/' "$stage/$script"
done

(cd "$stage" && cmake -E tar cf "$zip" --format=zip -- *)
if [ $status -ne 0 ]; then
  echo "PACKAGE FAILED: $zip"
  exit 1
fi
echo "PACKAGE OK: $zip ($(stat -c %s "$zip") bytes; symbols in build/cross/symbols and build/cross64/symbols)"
