#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, once:
# the i386 architecture for 32-bit Wine, 64-bit Wine, both mingw-w64
# toolchains, the test libraries, an X server for the drawing test.
set -euo pipefail

packages=(build-essential cmake ninja-build git ca-certificates
          g++-mingw-w64-i686 binutils-mingw-w64-i686
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-tools
          wine wine64 wine32:i386 libwine-dev
          googletest libgtest-dev libgmock-dev libbenchmark-dev
          clang libclang-rt-14-dev
          xvfb xauth)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
