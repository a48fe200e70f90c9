#!/usr/bin/env python3
"""stack-usage.py BUILD_DIR MAX_FRAME MAX_CHAIN - the kernel stack the driver's own code needs.

Reads the call graphs gcc writes with -fcallgraph-info=su (one .ci file per translation unit):
each routine's frame and the routines it calls. Prints the largest frame and the deepest chain
of the driver's routines (frames summed along the calls; routines of the kernel count 0, their
own use is the kernel's budget). Exits 1 when a frame is dynamic or larger than MAX_FRAME, when
the chain is deeper than MAX_CHAIN, or when the routines call each other in a cycle (no bound).
"""
import pathlib
import re
import sys

NODE = re.compile(r'node: \{ title: "([^"]+)" label: "([^"]*)"')
EDGE = re.compile(r'edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)"')
FRAME = re.compile(r"\\n(\d+) bytes \(([^)]*)\)")


def read_graphs(build_dir):
    frames, kinds, names, calls = {}, {}, {}, {}
    files = sorted(pathlib.Path(build_dir).rglob("*.ci"))
    for ci in files:
        text = ci.read_text()
        for title, label in NODE.findall(text):
            m = FRAME.search(label)
            if m:
                frames[title] = int(m.group(1))
                kinds[title] = m.group(2)
                names[title] = label.split("\\n")[0]
        for source, target in EDGE.findall(text):
            calls.setdefault(source, set()).add(target)
    return files, frames, kinds, names, calls


def deepest(frames, calls):
    depth, path, active = {}, {}, set()

    def visit(f):
        if f in depth:
            return depth[f]
        if f in active:
            raise RecursionError(f)
        active.add(f)
        best, via = 0, None
        for callee in calls.get(f, ()):
            if callee in frames and visit(callee) > best:
                best, via = depth[callee], callee
        active.discard(f)
        depth[f] = frames[f] + best
        path[f] = via
        return depth[f]

    for f in frames:
        visit(f)
    return depth, path


def main(build_dir, max_frame, max_chain):
    max_frame, max_chain = int(max_frame), int(max_chain)
    files, frames, kinds, names, calls = read_graphs(build_dir)
    if not frames:
        print(f"stack-usage: no call graphs (.ci) under {build_dir}; build with -fcallgraph-info=su")
        return 1
    failed = 0
    for f, kind in kinds.items():
        if kind != "static":
            print(f"stack-usage: {names[f]} has a {kind} frame")
            failed = 1
    top = max(frames, key=frames.get)
    print(f"stack-usage: largest frame {frames[top]} bytes ({names[top]}), limit {max_frame}")
    failed |= frames[top] > max_frame
    try:
        depth, path = deepest(frames, calls)
    except RecursionError as e:
        print(f"stack-usage: {names[str(e.args[0])]} is part of a call cycle; its depth has no bound")
        return 1
    root = max(depth, key=depth.get)
    chain, f = [], root
    while f is not None:
        chain.append(f"{names[f].split('(')[0].split()[-1]} {frames[f]}")
        f = path[f]
    print(f"stack-usage: deepest chain {depth[root]} bytes, limit {max_chain}: " + " -> ".join(chain))
    failed |= depth[root] > max_chain
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
