#!/bin/sh
# Seeded faults: applies each patch of scripts/mutants/ (or only those named) to a scratch copy
# of the tree, builds the driver's test program there and runs it, and reports which faults the
# tests miss and the kill rate. The working tree is never modified.
#
#   scripts/mutants.sh [NAME...]        NAME: a file of scripts/mutants/ without ".patch"
#
# Environment: MUTANTS_DIR (scratch folder, default /tmp/kwdrv-mutants, kept between runs so
# builds are incremental), MUTANTS_FILTER (a --gtest_filter for quick checks), MUTANTS_TIMEOUT
# (seconds per run, default 180: a fault that loops without blocking runs until then), JOBS
# (build parallelism, default 2).
#
# A fault is killed when the test program fails: a failed expectation, a bug check of the
# model, a sanitizer report, or the time limit. A patch that no longer applies or does not build
# is reported and not counted. CPU-heavy: not part of CI.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${MUTANTS_DIR:-/tmp/kwdrv-mutants}
FILTER=${MUTANTS_FILTER:-*}
LIMIT=${MUTANTS_TIMEOUT:-180}
JOBS=${JOBS:-2}
export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache CCACHE_NOHASHDIR=1
export KWSIM_WATCHDOG_MS=${KWSIM_WATCHDOG_MS:-10000}

if [ $# -eq 0 ]; then
    set -- $(cd "$ROOT/scripts/mutants" && ls *.patch | sed 's/\.patch$//')
fi

# The scratch copy: sources only, refreshed from the working tree. Only files whose content
# differs are copied, with a fresh time, so the build stays incremental and never keeps an
# object compiled from a mutated source.
mkdir -p "$WORK/src" "$WORK/logs"
(cd "$ROOT" && find . -path ./.git -prune -o -path './build*' -prune -o -type f -print) |
while IFS= read -r f; do
    if ! cmp -s "$ROOT/$f" "$WORK/src/$f"; then
        mkdir -p "$(dirname "$WORK/src/$f")" && cp "$ROOT/$f" "$WORK/src/$f"
    fi
done
(cd "$WORK/src" && find . -type f) | while IFS= read -r f; do
    [ -e "$ROOT/$f" ] || rm -f "$WORK/src/$f"
done
export CCACHE_BASEDIR="$WORK"
cmake -S "$WORK/src" -B "$WORK/build" >"$WORK/logs/configure.log" 2>&1

build() { cmake --build "$WORK/build" -j"$JOBS" --target driver_tests >"$1" 2>&1; }
run() {
    (cd "$WORK/build" && timeout "$LIMIT" ./tests/driver_tests --gtest_filter="$FILTER") >"$1" 2>&1
}
# What ended a failing run: the failed tests (a parameterised one as Prefix/Suite.Name/Param),
# else the test that was running at the bug check, sanitizer report or time limit.
verdict() {
    failed=$(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_/]*\.[A-Za-z0-9_/]*\).*/\1/p' "$1" | sort -u | tr '\n' ' ')
    if [ -n "$failed" ]; then echo "$failed"; return; fi
    running=$(sed -n 's/^\[ RUN      \] //p' "$1" | tail -1)
    why=$(grep -m1 -oE 'BUGCHECK [^ ]+ [A-Za-z]+|ERROR: [A-Za-z]+Sanitizer: [a-z-]+|runtime error' "$1" || echo "time limit or crash")
    echo "$running ($why)"
}

if ! build "$WORK/logs/baseline-build.log" || ! run "$WORK/logs/baseline.log"; then
    echo "the unmodified tree does not pass; see $WORK/logs/baseline*.log" >&2
    exit 2
fi

killed=0 survived=0 skipped=0 missed=""
for name in "$@"; do
    patch="$ROOT/scripts/mutants/$name.patch"
    log="$WORK/logs/$name.log"
    if ! patch -s -p1 -d "$WORK/src" --dry-run <"$patch" >/dev/null 2>&1; then
        echo "$name: does not apply to this tree"; skipped=$((skipped + 1)); continue
    fi
    patch -s -p1 -d "$WORK/src" <"$patch"
    if ! build "$log"; then
        echo "$name: does not build"; skipped=$((skipped + 1))
    elif run "$log"; then
        echo "$name: MISSED"; survived=$((survived + 1)); missed="$missed $name"
    else
        echo "$name: killed by $(verdict "$log")"; killed=$((killed + 1))
    fi
    patch -s -R -p1 -d "$WORK/src" <"$patch"
done

total=$((killed + survived))
echo "killed $killed of $total seeded faults; $skipped not applied or not built"
[ $total -gt 0 ] && echo "kill rate: $((100 * killed / total))%"
[ -n "$missed" ] && echo "missed:$missed"
[ $survived -eq 0 ]
