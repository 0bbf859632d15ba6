#!/usr/bin/env bash
# scripts/setup.sh against a stand-in apt-get on PATH that fails the way a
# mirror caught mid-sync does: the index update is retried, an index that still
# fails is named and left out, an install that cannot resolve is tried once more
# with the release pinned, and only a second failure ends the set-up, naming
# what failed. The stand-in dpkg-query reports every package missing.
set -uo pipefail
setup="$(cd "$(dirname "$0")/../.." && pwd)/scripts/setup.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
export PATH="$work/bin:$PATH" OKULON_APT_PAUSE=0 OKULON_APT_ATTEMPTS=3 CALLS="$work/calls"

cat >"$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
exit 1
STUB
cat >"$work/bin/dpkg" <<'STUB'
#!/bin/sh
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
STUB
# UPDATE_FAILS: how many updates fail; INSTALL: ok, pinned-only or never.
cat >"$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "$*" >>"$CALLS"
case "$1" in
  update)
    if [ "$(grep -c '^update' "$CALLS")" -le "$UPDATE_FAILS" ]; then
      echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  install)
    case "$INSTALL:$*" in
      ok:*|pinned-only:*"-t bookworm"*) exit 0 ;;
    esac
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
esac
exit 0
STUB
chmod +x "$work/bin/"*

failures=0
# run <case> <update failures> <install behaviour>: sets status, output, updates, installs.
run() {
  case_name=$1
  rm -f "$CALLS"
  output=$(UPDATE_FAILS=$2 INSTALL=$3 bash "$setup" 2>&1)
  status=$?
  updates=$(grep -c '^update' "$CALLS")
  installs=$(grep -c '^install' "$CALLS")
}
expect() {
  local want_status=$1 want_updates=$2 want_installs=$3
  if [ "$status" -ne "$want_status" ] || [ "$updates" -ne "$want_updates" ] || [ "$installs" -ne "$want_installs" ]; then
    echo "FAILED: $case_name: exit $status, $updates update(s), $installs install(s);" \
         "expected exit $want_status, $want_updates, $want_installs. Output:"
    echo "$output"
    failures=$((failures + 1))
  fi
}
says() {
  [[ $output == *"$1"* ]] || { echo "FAILED: $case_name: output lacks \"$1\":"; echo "$output"; failures=$((failures + 1)); }
}

run "a healthy mirror" 0 ok
expect 0 1 1

run "an index that heals on the second try" 1 ok
expect 0 2 1
says "try 1 of 3"

run "an index that stays broken" 9 ok
expect 0 3 1
says "going on without it: http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"

run "an install that resolves only with the release pinned" 9 pinned-only
expect 0 3 2
grep -q -- '-t bookworm' "$CALLS" || { echo "FAILED: $case_name: no pinned install"; failures=$((failures + 1)); }
says "trying again with the release pinned"

run "an install that never resolves" 0 never
expect 1 1 2
says "FAILED to install"
says "held broken packages"

[ "$failures" -eq 0 ]
