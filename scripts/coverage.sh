#!/bin/sh
# Line coverage of the driver's sources (cmake/DriverSources.cmake) by driver_tests.
#
#   scripts/coverage.sh [BUILD_DIR]      BUILD_DIR default: <tree>/build-coverage
#
# Builds driver_tests with g++ --coverage and no sanitizers, runs it once from zeroed
# counters, and prints one line per driver file: covered lines, instrumented lines, path;
# then the totals. A line counts as covered when any translation unit executed it (an inline
# routine of a header is instrumented in every unit that includes it). Two trees are compared
# by running the script on each and diffing the outputs. JOBS sets build parallelism (default 2).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build-coverage}
JOBS=${JOBS:-2}

cmake -S "$ROOT" -B "$BUILD" -DKWDRV_SANITIZE=OFF -DCMAKE_CXX_FLAGS=--coverage \
      -DCMAKE_C_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target driver_tests >/dev/null
find "$BUILD" -name '*.gcda' -delete
(cd "$BUILD" && ./tests/driver_tests --gtest_brief=1 >/dev/null)

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
objs=$(find "$BUILD/CMakeFiles/kwdrv_host.dir" -name '*.gcda')
for gcda in $objs; do
    (cd "$out" && gcov -p -o "$(dirname "$gcda")" "$gcda" >/dev/null 2>&1)
    mkdir -p "$out/$(basename "$gcda")" && mv "$out"/*.gcov "$out/$(basename "$gcda")/" 2>/dev/null || true
done

python3 - "$ROOT" "$out" <<'EOF'
import os, re, sys
root, out = sys.argv[1], sys.argv[2]
hit = {}
for d, _, files in os.walk(out):
    for f in files:
        if not f.endswith('.gcov'):
            continue
        lines = open(os.path.join(d, f), errors='replace').read().splitlines()
        src = lines[0].split('Source:', 1)[1] if lines and 'Source:' in lines[0] else None
        if not src:
            continue
        src = os.path.relpath(os.path.realpath(src), root)
        if src.startswith('..') or src.startswith('sim/') or src.startswith('tests/'):
            continue
        per = hit.setdefault(src, {})
        for ln in lines:
            m = re.match(r'\s*([0-9]+\*?|#####|=====):\s*([0-9]+):', ln)
            if m:
                n = int(m.group(2))
                per[n] = per.get(n, False) or m.group(1)[0].isdigit()
tc = tt = 0
for src in sorted(hit):
    c = sum(hit[src].values()); t = len(hit[src])
    tc += c; tt += t
    print(f'{c:6d} {t:6d}  {src}')
print(f'{tc:6d} {tt:6d}  total')
EOF
