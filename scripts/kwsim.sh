#!/usr/bin/env bash
# kwsim.sh [ARGS...] - installs what is missing, builds kwsim (host build in
# build/) and runs it with ARGS, e.g. ./scripts/kwsim.sh --device dev.json
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"

build=${KWDRV_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
available=$(cmake --build "$build" --target help)
if ! grep -qw kwsim <<<"$available"; then
  echo "kwsim.sh: there is no kwsim target yet (tools/kwsim/ has no sources)" >&2
  exit 1
fi
cmake --build "$build" --target kwsim -j "${JOBS:-2}" >&2
exec "$build/tools/kwsim/kwsim" "$@"
