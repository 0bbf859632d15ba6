#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, once:
# the i386 architecture for 32-bit Wine, 64-bit Wine, both mingw-w64
# toolchains, the test libraries, an X server for the drawing test, zlib for
# both (the exporter's gzip), and Node.js with npm for the BIDS validator
# (scripts/bids-validator.sh installs the validator itself).
#
# A mirror can be caught mid-sync: one index then fails to download, and the
# amd64 libraries may carry security versions that the i386 index no longer
# lists. So the index update is retried, an index that still fails is named and
# left out, and an install that cannot resolve is tried once more with the
# release pinned, which takes matching versions of both architectures from the
# main suite.
#   OKULON_APT_ATTEMPTS (default 3) and OKULON_APT_PAUSE (seconds, default 20)
#   tune the retries.
set -euo pipefail

packages=(build-essential cmake ninja-build git ca-certificates
          g++-mingw-w64-i686 binutils-mingw-w64-i686
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-tools
          wine wine64 wine32:i386 libwine-dev
          googletest libgtest-dev libgmock-dev libbenchmark-dev relacy-dev
          clang libclang-rt-14-dev clang-format python3
          xvfb xauth
          zlib1g-dev libz-mingw-w64-dev)
release=bookworm
attempts=${OKULON_APT_ATTEMPTS:-3}
pause=${OKULON_APT_PAUSE:-20}

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# Node.js and npm by command: a machine may carry another build of Node.js
# whose package provides npm and conflicts with Debian's npm package.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
[ ${#missing[@]} -gt 0 ] || exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
log=$(mktemp)
trap 'rm -f "$log"' EXIT

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi

# apt-get update: a few tries; then go on with what loaded, naming what did not.
updated=no
for ((attempt = 1; attempt <= attempts; attempt++)); do
  if $sudo apt-get update -qq >"$log" 2>&1; then
    updated=yes
    break
  fi
  if ((attempt < attempts)); then
    echo "setup: apt-get update failed (try $attempt of $attempts); trying again in ${pause} s"
    sleep "$pause"
  fi
done
if [ "$updated" = no ]; then
  failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$log" | sort -u | paste -sd' ' -)
  if [ -n "$failed" ]; then
    echo "setup: package index not loaded after $attempts tries, going on without it: $failed"
  else
    echo "setup: apt-get update failed after $attempts tries, going on with the indexes that loaded:"
    sed 's/^/setup:   /' "$log"
  fi
fi

echo "setup: installing ${missing[*]}"
apt_install_missing() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" "${missing[@]}" >"$log" 2>&1
}
if apt_install_missing; then
  exit 0
fi
echo "setup: the install did not resolve; trying again with the release pinned (-t $release):"
grep -E '^(E:| )' "$log" | head -5 | sed 's/^/setup:   /'
if apt_install_missing -t "$release"; then
  exit 0
fi
echo "setup: FAILED to install ${missing[*]}"
sed 's/^/setup:   /' "$log" | tail -20
echo "setup: apt could not install these packages, even from the main suite of $release."
echo "setup: If a mirror is mid-sync, wait a while and run this again; otherwise check"
echo "setup: /etc/apt/sources.list.d (main, updates and security of $release) and 'apt-get update'."
exit 1
