#!/usr/bin/env python3
"""Compare every constant the model's headers define with the DDK's value.

Takes each object-like macro defined by sim/include (and each enumerator of
its enums) that the mingw-w64 DDK headers also define, evaluates it with
both compilers for i686, and fails if any value differs. A name the DDK does
not define is listed (so additions stay deliberate) but is not an error.

usage: compare_constants.py REPO_ROOT [--verbose]
"""
import os
import re
import subprocess
import sys
import tempfile

SIM_HEADERS = ["wdm.h", "ntddk.h", "usb.h", "usbdi.h", "usbioctl.h", "usbdlib.h"]
DDK_PRELUDE = """#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}
"""
DDK_FLAGS = ["-std=c++17", "-ffreestanding", "-D_WIN32_WINNT=0x0601",
             "-D__INTRINSIC_DEFINED_InterlockedBitTestAndSet",
             "-D__INTRINSIC_DEFINED_InterlockedBitTestAndReset",
             "-I/usr/share/mingw-w64/include/ddk"]
# Mask so that no value is emitted as zero-filled storage (which the
# assembly would not spell out as a .long).
MASK = 0x5A5A5A5A
# Expansions that are types, qualifiers or empty are not constants.
NOT_CONSTANT = re.compile(r"^\s*$|\b(ULONG|LONG|void|VOID|const|struct|extern|__attribute__|"
                          r"static|inline|memcpy|memset|memmove|memcmp|sizeof|GUID)\b|\"|\{|#")


def run(cmd, **kw):
    return subprocess.run(cmd, check=False, capture_output=True, text=True, **kw)


def macro_table(compiler, flags, source):
    with tempfile.NamedTemporaryFile("w", suffix=".cpp", delete=False) as f:
        f.write(source)
        path = f.name
    try:
        out = run([compiler, *flags, "-dM", "-E", path])
        if out.returncode != 0:
            sys.exit(f"preprocessing with {compiler} failed:\n{out.stderr}")
    finally:
        os.unlink(path)
    table = {}
    for line in out.stdout.splitlines():
        m = re.match(r"#define (\w+)(\(.*?\))? ?(.*)$", line)
        if m and not m.group(2):
            table[m.group(1)] = m.group(3)
    return table


def enumerators(include_dir):
    names = set()
    for header in os.listdir(include_dir):
        text = open(os.path.join(include_dir, header)).read()
        for body in re.findall(r"\benum\s+\w*\s*\{([^}]*)\}", text):
            for item in body.split(","):
                m = re.match(r"\s*([A-Za-z_]\w*)", item)
                if m:
                    names.add(m.group(1))
    return names


def evaluate(compiler, flags, prelude, names):
    """Returns {name: value}; names that do not compile are dropped."""
    names = sorted(names)
    while True:
        body = prelude + "\n".join(
            f'extern "C" const unsigned int KWV_{n} = ((unsigned int)({n})) ^ {MASK:#x}u;'
            for n in names) + "\n"
        with tempfile.TemporaryDirectory() as d:
            src = os.path.join(d, "v.cpp")
            open(src, "w").write(body)
            out = run([compiler, *flags, "-w", "-S", src, "-o", os.path.join(d, "v.s")])
            if out.returncode == 0:
                asm = open(os.path.join(d, "v.s")).read()
                break
        bad = set(re.findall(r"KWV_(\w+)", out.stderr))
        bad |= {n for n in names if re.search(rf"\b{n}\b", out.stderr)}
        if not bad:
            sys.exit(f"{compiler} failed without naming a constant:\n{out.stderr[:2000]}")
        names = [n for n in names if n not in bad]
    values = {}
    for m in re.finditer(r"^_?KWV_(\w+):\s*\n\s*\.long\s+(-?\d+)", asm, re.M):
        values[m.group(1)] = (int(m.group(2)) & 0xFFFFFFFF) ^ MASK
    return values


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    root = sys.argv[1]
    verbose = "--verbose" in sys.argv
    inc = os.path.join(root, "sim", "include")
    sim_prelude = "".join(f"#include <{h}>\n" for h in SIM_HEADERS)
    sim_flags = ["-m32", "-std=c++20", f"-I{inc}"]
    ours = macro_table("g++", sim_flags, sim_prelude)
    builtin = macro_table("g++", sim_flags, "#include <stddef.h>\n#include <stdint.h>\n#include <string.h>\n")
    ours = {k: v for k, v in ours.items()
            if k not in builtin and not k.startswith(("KWSIM_", "_")) and not NOT_CONSTANT.search(v)}
    theirs = macro_table("i686-w64-mingw32-g++", DDK_FLAGS, DDK_PRELUDE)
    enums = enumerators(inc)

    shared = {n for n in ours if n in theirs} | enums
    only_ours = sorted(n for n in ours if n not in theirs)
    sim_values = evaluate("g++", sim_flags, sim_prelude, shared)
    ddk_values = evaluate("i686-w64-mingw32-g++", DDK_FLAGS, DDK_PRELUDE, shared)

    compared = sorted(n for n in sim_values if n in ddk_values)
    mismatches = [n for n in compared if sim_values[n] != ddk_values[n]]
    not_in_ddk = sorted((n for n in sim_values if n not in ddk_values)) + only_ours
    for n in mismatches:
        print(f"MISMATCH {n}: model {sim_values[n]:#x}, DDK {ddk_values[n]:#x}")
    if verbose:
        for n in compared:
            print(f"same {n} = {sim_values[n]:#x}")
    if not_in_ddk:
        print("defined by the model but not by the DDK:", " ".join(sorted(set(not_in_ddk))))
    print(f"{len(compared)} constants compared, {len(mismatches)} differ")
    if len(compared) < 300:
        print("too few constants compared: the comparison itself is broken")
        return 1
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
