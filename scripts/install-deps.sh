#!/usr/bin/env bash
# install-deps.sh - installs, with apt, the Debian 12 packages the builds and
# tests need. Installs only what is missing, so a prepared machine pays one
# dpkg query. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake g++ python3
  libgtest-dev libgmock-dev googletest   # GoogleTest: native libraries, and sources for -m32
  libbenchmark-dev nlohmann-json3-dev
  g++-multilib qemu-user-static          # the 32-bit host build and its emulator
  mingw-w64 g++-mingw-w64-i686 binutils-mingw-w64-i686  # kwdrv.sys
  clang libclang-rt-14-dev valgrind       # fuzzers (libFuzzer), instruction counts
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: need root to install ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
