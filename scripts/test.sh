#!/usr/bin/env bash
# test.sh - every test of the project, in six legs:
#   1. host build with AddressSanitizer + UndefinedBehaviorSanitizer: all tests
#   2. ThreadSanitizer build: the tests labelled `concurrency`
#   3. kwdrv.sys cross-build, its image checks, and the model's constants
#      compared with the DDK's; kwtool.exe, its imports and the package folder;
#      a Release build of kwsim (build only)
#   4. 32-bit host build (-m32, Windows' calling conventions, run under qemu):
#      abi and sim tests
#   5. kwdrv.sys loaded into that 32-bit model: the driver suites, the loader's
#      tests and the kwsim tour on the image (tests labelled `image`)
#   6. the benchmarks (kwbench of leg 1, a few iterations each) and the fuzzers
#      (clang build in build-fuzz/, each for FUZZ_SECONDS, default 5, on its corpus)
# Ends with one line "N passed, N failed" totalled over the legs; exits
# non-zero if anything failed. JOBS (default 2) sets build parallelism.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${JOBS:-2}
"$root/scripts/install-deps.sh"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:check_initialization_order=1:strict_init_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

passed=0
failed=0
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

heading() { printf '\n==== %s ====\n' "$*"; }

# count_ctest LOG: adds the counts of ctest's summary line to the totals. A
# run that printed no summary (it crashed, or found no tests) adds nothing.
count_ctest() {
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1 || true)
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
}

# leg_fail WHAT: a step that is not a test run (configure, build, check)
# failed; it counts as one failed test.
leg_fail() { echo "test.sh: FAILED: $*"; failed=$((failed + 1)); }

# configure DIR [cmake args...] / build DIR [targets...]: return non-zero on
# failure. The build keeps going past errors so that every target that can
# be built is, and its tests still run.
configure() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" "$@"
}
build() {
  local dir=$1
  shift
  local targets=()
  [[ $# -gt 0 ]] && targets=(--target "$@")
  cmake --build "$dir" -j "$jobs" "${targets[@]}" -- -k
}

# run_ctest DIR LOG [ctest args...]
run_ctest() {
  local dir=$1 log=$2
  shift 2
  local status=0
  (cd "$dir" && ctest --output-on-failure --no-tests=ignore -j "$jobs" "$@") 2>&1 | tee "$log" || status=$?
  count_ctest "$log"
  if [[ $status -ne 0 ]] && ! grep -qE 'tests? failed out of' "$log"; then
    leg_fail "ctest in $dir exited $status without a summary"
  fi
}

heading "1/6 host build, AddressSanitizer + UndefinedBehaviorSanitizer"
if configure "$root/build" -DKWDRV_SANITIZE=ON -DKWDRV_TSAN=OFF -DKWDRV_M32=OFF; then
  build "$root/build" || leg_fail "host build"
  run_ctest "$root/build" "$logs/host.log"
else
  leg_fail "host configure"
fi

heading "2/6 ThreadSanitizer build, tests labelled concurrency"
if configure "$root/build-tsan" -DKWDRV_TSAN=ON -DKWDRV_SANITIZE=OFF -DKWDRV_M32=OFF; then
  build "$root/build-tsan" || leg_fail "ThreadSanitizer build"
  run_ctest "$root/build-tsan" "$logs/tsan.log" -L concurrency
else
  leg_fail "ThreadSanitizer configure"
fi

heading "3/6 kwdrv.sys cross-build and image checks"
if cmake -S "$root/windows" -B "$root/build-sys" && cmake --build "$root/build-sys" -j "$jobs"; then
  passed=$((passed + 1))
  echo "test.sh: kwdrv.sys and the DDK layout assertions compiled"
  if "$root/windows/check-sys.sh" "$root/build-sys/kwdrv.sys"; then
    passed=$((passed + 1))
  else
    leg_fail "check-sys.sh"
  fi
else
  leg_fail "kwdrv.sys build"
fi
# kwtool.exe (mingw-w64 i686, no C runtime), its imports, and the package folder it ships in.
if cmake --build "$root/build-sys" -j "$jobs" --target package && "$root/windows/check-kwtool.sh" "$root/build-sys/kwtool.exe"; then
  passed=$((passed + 1))
else
  leg_fail "kwtool.exe build or check-kwtool.sh"
fi
if "$root/windows/check-package.sh" "$root/build-sys/package"; then passed=$((passed + 1)); else leg_fail "package folder"; fi
if python3 "$root/tests/abi/compare_constants.py" "$root"; then
  passed=$((passed + 1))
else
  leg_fail "constants of sim/include differ from the DDK's"
fi

# An optimised build as a user may pick it (Release): compiled only, since optimisation brings
# warnings of its own; kwsim pulls in the model and the driver.
if configure "$root/build-release" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
   build "$root/build-release" kwsim; then
  passed=$((passed + 1))
  echo "test.sh: the Release build of the model, the driver and kwsim compiled"
else
  leg_fail "Release build"
fi

heading "4/6 32-bit host build (-m32, Windows' calling conventions, under qemu), abi and sim tests"
if configure "$root/build-m32" -DKWDRV_M32=ON -DKWDRV_WINDOWS_ABI=ON -DKWDRV_IMAGE="$root/build-sys/kwdrv.sys"; then
  targets=()
  available=$(cmake --build "$root/build-m32" --target help)
  for t in abi_tests sim_tests; do
    if grep -qw "$t" <<<"$available"; then targets+=("$t"); fi
  done
  if [[ ${#targets[@]} -eq 0 ]]; then
    leg_fail "32-bit build has no abi_tests or sim_tests target"
  else
    build "$root/build-m32" "${targets[@]}" || leg_fail "32-bit build"
    run_ctest "$root/build-m32" "$logs/m32.log" -R '^(abi|sim)/'
  fi
else
  leg_fail "32-bit configure"
fi

heading "5/6 kwdrv.sys loaded into the 32-bit model: driver suites, loader, kwsim tour"
# Once, without sanitizers: qemu makes every test slow, and legs 1 and 2 run the same suites
# on the host-built driver under the sanitizers.
if [[ ! -f $root/build-sys/kwdrv.sys ]]; then
  leg_fail "no kwdrv.sys to load (leg 3 failed)"
elif [[ ! -f $root/build-m32/CMakeCache.txt ]]; then
  leg_fail "no 32-bit build to load kwdrv.sys into (leg 4 failed)"
else
  build "$root/build-m32" driver_image_tests loader_tests kwsim || leg_fail "32-bit image test build"
  run_ctest "$root/build-m32" "$logs/image.log" -R '^image/'
fi

heading "6/6 benchmarks and fuzzers, briefly (they prove they run; nothing is timed)"
if "$root/build/bench/kwbench" --benchmark_min_time=0.001 --benchmark_color=false >"$logs/bench.log" 2>&1; then
  passed=$((passed + 1))
  sed -n '/kwdrv \/ pass-through/,$p' "$logs/bench.log"
else
  cat "$logs/bench.log"
  leg_fail "kwbench"
fi
if configure "$root/build-fuzz" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKWDRV_FUZZ=ON \
     -DKWDRV_SANITIZE=ON -DKWDRV_TSAN=OFF -DKWDRV_M32=OFF -DBUILD_TESTING=OFF; then
  build "$root/build-fuzz" || leg_fail "fuzzer build"
  for fuzzer in "$root"/build-fuzz/fuzz/fuzz_*; do
    [[ -x $fuzzer ]] || continue
    name=${fuzzer##*/fuzz_}
    found=$(mktemp -d -p "$logs")
    inputs=("$root/fuzz/corpus/$name")
    [[ -d $root/fuzz/regressions/$name ]] && inputs+=("$root/fuzz/regressions/$name")
    if "$fuzzer" -max_total_time="${FUZZ_SECONDS:-5}" -timeout=20 -print_final_stats=1 \
         -artifact_prefix="$logs/" "$found" "${inputs[@]}" >"$logs/fuzz-$name.log" 2>&1; then
      passed=$((passed + 1))
      echo "test.sh: fuzzer $name: $(grep -aE '^stat::number_of_executed_units' "$logs/fuzz-$name.log" | tail -n 1)"
    else
      tail -n 60 "$logs/fuzz-$name.log"
      leg_fail "fuzzer $name"
    fi
  done
else
  leg_fail "fuzzer configure"
fi

heading "summary"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
