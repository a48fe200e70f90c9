#!/usr/bin/env python3
"""exports.py SIM_INCLUDE OUT.inc NM LIBKWMODEL - lists the routines the model exports to a loaded image.

Every routine that sim/include declares as the kernel's (NTKERNELAPI, NTSYSAPI), the HAL's
(NTHALAPI) or the USB driver library's (DECLSPEC_IMPORT in usbdlib.h) becomes one line
    KWSIM_EXPORT("module", Name)
of OUT.inc, which the loader's table of bindings includes, if the model's library defines it
(as NM reports); an image that imports a routine the model only declares fails to load
naming it.
"""
import pathlib
import re
import subprocess
import sys

MARKERS = {"NTKERNELAPI": "ntoskrnl.exe", "NTSYSAPI": "ntoskrnl.exe", "NTHALAPI": "hal.dll",
           "DECLSPEC_IMPORT": None}
DECL = re.compile(r"\b(NTKERNELAPI|NTSYSAPI|NTHALAPI|DECLSPEC_IMPORT)\b([^;{]*?)\b([A-Za-z_]\w*)\s*\(")


def defined_symbols(nm, library):
    listing = subprocess.run([nm, "-g", "--defined-only", library], check=True, capture_output=True, text=True)
    return {fields[2] for fields in (line.split() for line in listing.stdout.splitlines()) if len(fields) == 3}


def main(include_dir, out, nm, library):
    defined = defined_symbols(nm, library)
    found = {}
    for header in sorted(pathlib.Path(include_dir).glob("*.h")):
        text = re.sub(r"/\*.*?\*/|//[^\n]*", " ", header.read_text(), flags=re.S)
        text = re.sub(r"^\s*#.*$", " ", text, flags=re.M)
        for marker, _, name in DECL.findall(text):
            module = MARKERS[marker] or ("usbd.sys" if header.name == "usbdlib.h" else "ntoskrnl.exe")
            if name.startswith("DECLSPEC") or name in ("NTAPI", "FASTCALL"):
                continue
            if name in defined:
                found.setdefault(name, module)
    lines = [f"KWSIM_EXPORT(\"{module}\", {name})\n" for name, module in sorted(found.items())]
    text = "".join(lines)
    path = pathlib.Path(out)
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


if __name__ == "__main__":
    main(*sys.argv[1:5])
