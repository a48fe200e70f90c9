#!/usr/bin/env bash
# kwsim.sh [ARGS...] - installs what kwsim needs when it is missing (a C++ compiler, CMake and
# nlohmann-json; not the cross-compiler, qemu or the test libraries), builds kwsim alone in
# build-kwsim/ (KWDRV_BUILD_DIR overrides) and runs it with ARGS, e.g.
#   ./scripts/kwsim.sh --device my-device.json
# Build output goes to build-kwsim/kwsim-build.log and is shown only when the build fails. A run
# with nothing changed since the last build starts kwsim at once.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KWDRV_BUILD_DIR:-$root/build-kwsim}
binary=$build/tools/kwsim/kwsim
say() { echo "kwsim.sh: $*" >&2; }

# Up to date: the binary is newer than every source it is built from.
if [[ -x $binary ]] && [[ -z $(find "$root/CMakeLists.txt" "$root/cmake" "$root/sim" "$root/tools/kwsim" \
    "$root/include" "$root/driver" "$root/usbconfig" "$root/transfer" "$root/control" "$root/pnppower" \
    -newer "$binary" -print -quit 2>/dev/null) ]]; then
  exec "$binary" "$@"
fi

packages=(g++ make cmake nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  say "installing ${missing[*]} with apt"
  sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { say "need root to install ${missing[*]}"; exit 1; }
    sudo=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq >/dev/null
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

mkdir -p "$build"
log=$build/kwsim-build.log
first=""
if [[ ! -f $build/CMakeCache.txt ]]; then
  first=" (the first build takes a few minutes)"
  say "configuring $build"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  if ! cmake -S "$root" -B "$build" -DBUILD_TESTING=OFF "${launcher[@]}" >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    say "configuring failed (the whole log: $log)"
    exit 1
  fi
fi
say "building kwsim$first"
if ! cmake --build "$build" --target kwsim -j "${JOBS:-2}" >>"$log" 2>&1; then
  grep -E 'error|Error' "$log" | head -n 20 >&2 || tail -n 30 "$log" >&2
  say "the build failed (the whole log: $log)"
  exit 1
fi
touch "$binary"
exec "$binary" "$@"
