#!/usr/bin/env python3
"""Instructions per bulk request, counted by callgrind, split into driver, model and user side.

Runs kwbench's bulk round trip under valgrind --tool=callgrind twice per configuration, with
two fixed iteration counts, and divides the difference by the difference in requests, so the
start, the opens and the teardown cancel out and what is left is the steady state. Every
function's own instructions (callgrind_annotate, exclusive) go to one side by its source file:

  driver   driver/ usbconfig/ transfer/ control/ pnppower/ include/, bench/passthrough.cpp
  model    sim/ except sim/app/ (kernel, USB stack, USBD library, the platform headers' inlines)
  user     sim/app/ (the I/O manager's user side) and the benchmark's own loop in bench/
  runtime  everything else: C and C++ run-time libraries, and standard-library templates that
           the compiler inlined into any of the three (counted where they were written)

Pool allocations and frees per request come from the model's own counters (kwbench's
pool_allocs/req and pool_frees/req). Needs an uninstrumented build of kwbench:

  cmake -S . -B build-bench -DKWDRV_SANITIZE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \\
        -DKWDRV_HOST_DBG=OFF -DBUILD_TESTING=OFF
  cmake --build build-bench -j2 --target kwbench
  bench/callgrind.py --build build-bench            # a Markdown table on stdout
  bench/callgrind.py --build build-bench --bench isoch_write/kwdrv/packets:16   # per iteration
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

SIDES = ("driver", "model", "user", "runtime")
DRIVER_DIRS = ("driver/", "usbconfig/", "transfer/", "control/", "pnppower/", "include/")
LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(.+?):(.*?)(?:\s+\[[^\]]*\])?\s*$")


def side_of(path):
    p = path.replace("\\", "/")
    while p.startswith("../"):
        p = p[3:]
    m = re.search(r"(?:^|/)(bench|sim|driver|usbconfig|transfer|control|pnppower|include)/", p)
    if m is None or "/usr/" in p[: m.start() + 1]:
        return "runtime"
    rel = p[m.start() + (1 if p[m.start()] == "/" else 0):]
    if rel.startswith("bench/passthrough"):
        return "driver"
    if rel.startswith("bench/") or rel.startswith("sim/app/"):
        return "user"
    if rel.startswith("sim/"):
        return "model"
    if rel.startswith(DRIVER_DIRS):
        return "driver"
    return "runtime"


def run(build, name, iterations, workdir):
    """Own instructions by side of kwbench's benchmark `name` (exact) at `iterations`."""
    out = os.path.join(workdir, "cg." + re.sub(r"[^\w]+", "_", name) + f".{iterations}")
    js = out + ".json"
    # One abort order for both runs (the model draws it per process otherwise), so the teardown
    # costs the same in each and cancels out.
    env = dict(os.environ, KWBENCH_ITERATIONS=str(iterations))
    env.setdefault("KWSIM_ABORT_ORDER", "transfers-first")
    filt = "^" + re.escape(name) + "(/|$)"
    cmd = ["valgrind", "--tool=callgrind", "--quiet", f"--callgrind-out-file={out}",
           os.path.join(build, "bench", "kwbench"), f"--benchmark_filter={filt}",
           f"--benchmark_out={js}", "--benchmark_out_format=json"]
    subprocess.run(cmd, env=env, check=True, stdout=subprocess.DEVNULL)
    annotate = subprocess.run(["callgrind_annotate", "--threshold=100", "--inclusive=no", "--auto=no", out],
                              check=True, capture_output=True, text=True).stdout
    costs = dict.fromkeys(SIDES, 0)
    for line in annotate.splitlines():
        m = LINE.match(line)
        if m and not line.strip().endswith("PROGRAM TOTALS") and ":" in line:
            costs[side_of(m.group(2))] += int(m.group(1).replace(",", ""))
    with open(js) as f:
        bench = json.load(f)["benchmarks"][0]
    if bench.get("error_occurred"):
        raise RuntimeError(f"{name}: {bench.get('error_message')}")
    return costs, bench


def per_iteration(build, names, n1, n2):
    print("| benchmark | driver side | model | user side | runtime | total |")
    print("|---|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as work:
        for name in names:
            c1, _ = run(build, name, n1, work)
            c2, _ = run(build, name, n2, work)
            r = {s: (c2[s] - c1[s]) / (n2 - n1) for s in SIDES}
            print(f"| {name} | {r['driver']:.0f} | {r['model']:.0f} | {r['user']:.0f} | {r['runtime']:.0f} "
                  f"| {sum(r.values()):.0f} |")
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build-bench")
    ap.add_argument("--sizes", default="64,4096,65536")
    ap.add_argument("--inflight", default="1")
    ap.add_argument("--iterations", default="20,120", help="the two fixed iteration counts")
    ap.add_argument("--bench", help="instead of the bulk table: instructions per iteration of these "
                    "benchmarks, comma-separated full names (vendor_round_trip/kwdrv/bytes:64)")
    args = ap.parse_args()
    n1, n2 = (int(x) for x in args.iterations.split(","))
    if args.bench:
        return per_iteration(args.build, args.bench.split(","), n1, n2)
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for size in args.sizes.split(","):
            for inflight in args.inflight.split(","):
                per = {}
                for driver in ("kwdrv", "passthrough"):
                    name = f"bulk_round_trip/{driver}/bytes:{size}/inflight:{inflight}"
                    c1, _ = run(args.build, name, n1, work)
                    c2, bench = run(args.build, name, n2, work)
                    requests = (n2 - n1) * int(inflight) * 2
                    per[driver] = {s: (c2[s] - c1[s]) / requests for s in SIDES}
                    per[driver]["allocs"] = bench.get("pool_allocs/req", float("nan"))
                    per[driver]["frees"] = bench.get("pool_frees/req", float("nan"))
                rows.append((size, inflight, per))
    print("| bytes | in flight | driver | driver side | model | user side | runtime | total "
          "| pool allocs/req | pool frees/req |")
    print("|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|")
    for size, inflight, per in rows:
        for driver in ("kwdrv", "passthrough"):
            r = per[driver]
            total = sum(r[s] for s in SIDES)
            print(f"| {size} | {inflight} | {driver} | {r['driver']:.0f} | {r['model']:.0f} | {r['user']:.0f} "
                  f"| {r['runtime']:.0f} | {total:.0f} | {r['allocs']:.2f} | {r['frees']:.2f} |")
        k = sum(per["kwdrv"][s] for s in SIDES)
        p = sum(per["passthrough"][s] for s in SIDES)
        print(f"| {size} | {inflight} | **ratio** | | | | | **{k / p:.3f}** | | |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
