#!/usr/bin/env bash
# check-sys.sh IMAGE.sys - checks that a built kwdrv.sys is a loadable
# 32-bit kernel driver image:
#   - PE32 for i386, subsystem 1 (native)
#   - entry point is DriverEntry (_DriverEntry@8)
#   - imports only from ntoskrnl.exe, USBD.SYS and HAL.dll
#   - has base relocations (the kernel loads drivers at any address)
#   - exports nothing
#   - the guarded probe's routines come from ntoskrnl.exe, with no other exception runtime
# Prints what it checked; exits non-zero on the first class of failure found.
set -euo pipefail

image=${1:?usage: check-sys.sh IMAGE.sys}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}
[[ -f $image ]] || { echo "check-sys: $image: no such file" >&2; exit 1; }

headers=$("$objdump" -p "$image")
failures=0
fail() { echo "check-sys: FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "check-sys: ok: $*"; }

field() { # the first value of a header field, e.g. field Subsystem
  awk -v name="$1" '$1 == name && !seen { print $2; seen = 1 }' <<<"$headers"
}

# Format and machine.
if grep -q 'file format pei-i386' <<<"$headers" && [[ $(field Magic) == 010b ]]; then
  ok "PE32 image for i386"
else
  fail "not a PE32 i386 image"
fi

# Subsystem 1 = native (kernel-mode driver).
subsystem=$(field Subsystem)
if [[ $((16#${subsystem:-0})) -eq 1 ]]; then
  ok "subsystem native (1)"
else
  fail "subsystem is ${subsystem:-missing}, expected 00000001 (native)"
fi

# The entry point must be DriverEntry: compare the header's entry RVA plus
# image base with the address of the _DriverEntry@8 symbol.
entry_rva=$(field AddressOfEntryPoint)
image_base=$(field ImageBase)
symbols=$("$nm" "$image" 2>/dev/null || true)
symbol=$(awk '$3 == "_DriverEntry@8" && ($2 == "T" || $2 == "t") { print $1 }' <<<"$symbols" | head -n 1)
if [[ -z $symbol ]]; then
  fail "symbol _DriverEntry@8 not found (image stripped or DriverEntry missing)"
elif [[ $((16#$entry_rva + 16#$image_base)) -eq $((16#$symbol)) ]]; then
  ok "entry point is DriverEntry (RVA 0x$entry_rva)"
else
  fail "entry point RVA 0x$entry_rva + base 0x$image_base is not _DriverEntry@8 at 0x$symbol"
fi

# Imports: only the kernel, the USB driver library and the HAL.
mapfile -t dlls < <(awk '/DLL Name:/ { print $3 }' <<<"$headers")
if [[ ${#dlls[@]} -eq 0 ]]; then
  fail "no imports at all (expected ntoskrnl.exe)"
fi
for dll in "${dlls[@]}"; do
  case "${dll,,}" in
    ntoskrnl.exe | usbd.sys | hal.dll) ok "imports from $dll" ;;
    *) fail "imports from $dll (only ntoskrnl.exe, USBD.SYS, HAL.dll are allowed)" ;;
  esac
done
echo "check-sys: imported routines:" $(awk '/DLL Name:/ { on = 1; next }
  on && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 } /^$/ { on = 0 }' <<<"$headers" | sort -u)

# Base relocations and exports, from the data directory sizes.
directory_size() { # directory_size "Base Relocation Directory"
  awk -v name="$1" 'index($0, name) && !seen { print $3; seen = 1 }' <<<"$headers"
}
reloc=$(directory_size "Base Relocation Directory")
if [[ -n $reloc && $((16#$reloc)) -gt 0 ]]; then
  ok "has base relocations"
else
  fail "no base relocations: the kernel could not load the image at another address"
fi
exported=$(awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
  on && /^[[:space:]]*\[/ { n++ } on && /^[[:space:]]*$/ { on = 0 } END { print n + 0 }' <<<"$headers")
if [[ $exported -eq 0 ]]; then
  ok "exports nothing"
else
  fail "the image exports $exported symbol(s) (link with -Wl,--exclude-all-symbols)"
fi

# The guarded probe of caller memory: its exception registration record on the stack and its
# handler take the probe's exception through the kernel's own dispatcher, so the image needs
# exactly these ntoskrnl.exe routines (all exported by Windows XP's kernel) and no compiler
# runtime for structured exceptions (handlers and unwinders of other toolchains, or routines
# that XP's kernel does not export). The image must also not declare that it has no exception
# handlers (IMAGE_DLLCHARACTERISTICS_NO_SEH, 0x0400), nor carry a handler table (load
# configuration) without the guard's handler: the kernel's dispatcher refuses such handlers.
imports=$(awk '/DLL Name:/ { dll = tolower($3); next }
  dll != "" && NF >= 3 && $1 ~ /^[0-9a-f]+$/ { print dll, $3 } /^$/ { dll = "" }' <<<"$headers")
for routine in RtlUnwind MmProbeAndLockPages MmUnlockPages IoAllocateMdl IoFreeMdl; do
  if grep -qx "ntoskrnl.exe $routine" <<<"$imports"; then
    ok "guarded probe: $routine from ntoskrnl.exe"
  else
    fail "guarded probe: $routine is not imported from ntoskrnl.exe"
  fi
done
seh_runtime=$(awk '$2 ~ /except_handler|C_specific_handler|RtlUnwindEx|local_unwind|global_unwind|RtlVirtualUnwind/ { print $2 }' <<<"$imports")
if [[ -z $seh_runtime ]]; then
  ok "no exception runtime imported besides RtlUnwind"
else
  fail "imports exception runtime routines XP's kernel lacks or that are not the driver's: $seh_runtime"
fi
loadconfig=$(directory_size "Load Configuration Directory")
if [[ -z $loadconfig || $((16#$loadconfig)) -eq 0 ]]; then
  ok "no load configuration (no handler table that would have to list the guard's handler)"
else
  fail "the image has a load configuration: its handler table must list the guard's handler"
fi
characteristics=$(field DllCharacteristics)
if (( (16#${characteristics:-0} & 0x0400) == 0 )); then
  ok "exception handlers allowed (no IMAGE_DLLCHARACTERISTICS_NO_SEH)"
else
  fail "DllCharacteristics $characteristics has NO_SEH: the kernel would refuse the image's handlers"
fi

if [[ $failures -ne 0 ]]; then
  echo "check-sys: $image: $failures check(s) failed" >&2
  exit 1
fi
echo "check-sys: $image: all checks passed"
