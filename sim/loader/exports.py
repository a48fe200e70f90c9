#!/usr/bin/env python3
"""exports.py SIM_INCLUDE OUT.inc NM LIBKWMODEL [MINGW_NM DDK_LIB_DIR] - lists the routines the
model exports to a loaded image.

Every routine that sim/include declares as the kernel's (NTKERNELAPI, NTSYSAPI), the HAL's
(NTHALAPI) or the USB driver library's (DECLSPEC_IMPORT in usbdlib.h) becomes one line
    KWSIM_EXPORT("module", Name)
of OUT.inc, which the loader's table of bindings includes, if the model's library defines it
(as NM reports); an image that imports a routine the model only declares fails to load
naming it.

With MINGW_NM and the folder of the DDK's import libraries (libntoskrnl.a, libhal.a, libusbd.a),
each routine's calling convention in sim/include (NTAPI: stdcall, FASTCALL: fastcall, neither:
cdecl) and the size of its arguments are checked against the decoration the import library
gives it (_Name@8, @Name@8, _Name): a routine the model declares with another convention than
the kernel's would corrupt the stack of every image that calls it, so the build stops naming it.
"""
import pathlib
import re
import subprocess
import sys

MARKERS = {"NTKERNELAPI": "ntoskrnl.exe", "NTSYSAPI": "ntoskrnl.exe", "NTHALAPI": "hal.dll",
           "DECLSPEC_IMPORT": None}
DECL = re.compile(r"\b(NTKERNELAPI|NTSYSAPI|NTHALAPI|DECLSPEC_IMPORT)\b([^;{]*?)\b([A-Za-z_]\w*)\s*\((.*?)\)\s*;", re.S)
LIBS = {"ntoskrnl.exe": "libntoskrnl.a", "hal.dll": "libhal.a", "usbd.sys": "libusbd.a"}
WIDE = re.compile(r"\b(LARGE_INTEGER|ULARGE_INTEGER|LONGLONG|ULONGLONG|PHYSICAL_ADDRESS|LONG64|ULONG64)\s*\w*$")


def defined_symbols(nm, library):
    listing = subprocess.run([nm, "-g", "--defined-only", library], check=True, capture_output=True, text=True)
    return {fields[2] for fields in (line.split() for line in listing.stdout.splitlines()) if len(fields) == 3}


def decorations(mingw_nm, lib_dir):
    """{module: {Name: decorated}} from the DDK's import libraries."""
    result = {}
    for module, lib in LIBS.items():
        names = {}
        for decorated in defined_symbols(mingw_nm, str(pathlib.Path(lib_dir) / lib)):
            m = re.fullmatch(r"[_@]([A-Za-z_]\w*?)(@\d+)?", decorated)
            if m and not decorated.startswith("__imp"):
                names.setdefault(m.group(1), decorated)
        result[module] = names
    return result


def expected(convention, params):
    """The decoration a routine of the model gets from its declaration."""
    args = [p.strip() for p in params.split(",") if p.strip() and p.strip() not in ("VOID", "void")]
    size = sum(8 if WIDE.search(a) else 4 for a in args)
    return {"NTAPI": f"_{{}}@{size}", "FASTCALL": f"@{{}}@{size}"}.get(convention, "_{}")


def main(include_dir, out, nm, library, mingw_nm=None, lib_dir=None):
    defined = defined_symbols(nm, library)
    kernel = decorations(mingw_nm, lib_dir) if mingw_nm else None
    mismatches = []
    found = {}
    for header in sorted(pathlib.Path(include_dir).glob("*.h")):
        text = re.sub(r"/\*.*?\*/|//[^\n]*", " ", header.read_text(), flags=re.S)
        text = re.sub(r"^\s*#.*$", " ", text, flags=re.M)
        for marker, between, name, params in DECL.findall(text):
            module = MARKERS[marker] or ("usbd.sys" if header.name == "usbdlib.h" else "ntoskrnl.exe")
            if name.startswith("DECLSPEC") or name in ("NTAPI", "FASTCALL") or name not in defined:
                continue
            found.setdefault(name, module)
            convention = next((c for c in ("NTAPI", "FASTCALL") if re.search(rf"\b{c}\b", between)), "")
            actual = kernel.get(module, {}).get(name) if kernel else None
            if actual and actual != expected(convention, params).format(name):
                mismatches.append(f"{name}: {header.name} declares {expected(convention, params).format(name)}, "
                                  f"{LIBS[module]} exports {actual}")
    if mismatches:
        print("exports.py: calling conventions that differ from the kernel's:\n  " + "\n  ".join(mismatches),
              file=sys.stderr)
        sys.exit(1)
    lines = [f"KWSIM_EXPORT(\"{module}\", {name})\n" for name, module in sorted(found.items())]
    text = "".join(lines)
    path = pathlib.Path(out)
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


if __name__ == "__main__":
    main(*sys.argv[1:7])
