#!/usr/bin/env bash
# check-sys.sh IMAGE.sys [BUILD_DIR] - checks that a built kwdrv.sys is a
# loadable 32-bit kernel driver image that runs on every processor and
# Windows version it is for:
#   - PE32 for i386, subsystem 1 (native)
#   - entry point is DriverEntry (_DriverEntry@8)
#   - imports only from ntoskrnl.exe, USBD.SYS and HAL.dll, and only routines
#     that Windows XP SP3 exports (xp-exports.txt)
#   - has base relocations (the kernel loads drivers at any address), and no
#     pseudo-relocations (nothing would apply them)
#   - exports nothing; no TLS, no constructors or destructors, no .CRT
#     section (DriverEntry is the entry; nothing would run them)
#   - no CMOV (a Pentium or K6 lacks it) and no x87, MMX or SSE instruction
#     (the kernel does not save that state for driver code)
#   - no section both writable and executable
#   - a valid PE checksum (the kernel checks it for drivers)
#   - the largest stack frame and the deepest chain of the driver's routines
#     well under the 12 KiB kernel stack (from BUILD_DIR's -fcallgraph-info
#     files; BUILD_DIR defaults to the image's folder)
#   - the kwdrv.inf in BUILD_DIR, if there is one, has CRLF line endings
#   - the guarded probe's routines come from ntoskrnl.exe, with no other
#     exception runtime, no NO_SEH flag and no handler table
# Prints what it checked; exits non-zero if any check failed.
set -euo pipefail

image=${1:?usage: check-sys.sh IMAGE.sys [BUILD_DIR]}
build_dir=${2:-$(dirname "$image")}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
python=${PYTHON:-python3}
max_frame=${KWDRV_MAX_FRAME:-1024}  # bytes; a quarter of the stack for the whole chain,
max_chain=${KWDRV_MAX_CHAIN:-3072}  # the rest is the I/O manager's and the drivers' below
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

# Every imported routine must exist in Windows XP SP3 (the oldest system the driver is for):
# a routine Windows added later makes the image fail to load there.
exports="$here/xp-exports.txt"
imports=$(awk '/DLL Name:/ { dll = tolower($3); next }
  dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print dll, $3 } /^$/ { dll = "" }' <<<"$headers")
unknown=$(grep -v '^#' "$exports" | awk 'NR == FNR { have[tolower($1) " " $2] = 1; next }
  !have[$0] { print $2 " (" $1 ")" }' - <(printf '%s\n' "$imports"))
if [[ -z $unknown ]]; then
  ok "every import is exported by Windows XP SP3 ($(wc -l <<<"$imports") routines)"
else
  fail "imports that Windows XP SP3 does not export: $(tr '\n' ' ' <<<"$unknown")"
fi

# Thread-local storage, constructors, destructors: nothing in a driver would run them.
tls=$(directory_size "Thread Storage Directory")
if [[ $((16#${tls:-0})) -eq 0 ]] && ! grep -qE '^ *[0-9]+ \.tls' <<<"$("$objdump" -h "$image")"; then
  ok "no thread-local storage"
else
  fail "the image has thread-local storage (a TLS directory or .tls section)"
fi
sections=$("$objdump" -h "$image")
if grep -qE '^ *[0-9]+ \.CRT' <<<"$sections"; then
  fail "the image has a .CRT section (C run-time initialisers nothing would run)"
else
  ok "no .CRT section"
fi
symbol_address() { awk -v name="$1" '$3 == name { print $1; exit }' <<<"$symbols"; }
list_words() { # list_words SYMBOL: the two 32-bit words at a constructor list
  local at=$((16#$(symbol_address "$1")))
  "$objdump" -s --start-address=$at --stop-address=$((at + 8)) "$image" | awk '/^ [0-9a-f]+ / { print $2, $3 }'
}
for list in ___CTOR_LIST__:constructor ___DTOR_LIST__:destructor; do
  what="${list#*:} list"
  list=${list%%:*}
  if [[ -z $(symbol_address "$list") ]]; then
    ok "no $what at all"
  elif [[ $(list_words "$list") == "ffffffff 00000000" ]]; then
    ok "$what empty"
  else
    fail "$what not empty: global objects with constructors or destructors"
  fi
done
pseudo=$(symbol_address ___RUNTIME_PSEUDO_RELOC_LIST__)
pseudo_end=$(symbol_address ___RUNTIME_PSEUDO_RELOC_LIST_END__)
if [[ $pseudo == "$pseudo_end" ]]; then
  ok "no pseudo-relocations"
else
  fail "pseudo-relocations (auto-imported data): link with --disable-auto-import --disable-runtime-pseudo-reloc"
fi

# Instructions: only those of the Pentium's integer set.
code=$("$objdump" -d --no-show-raw-insn "$image" | awk -F'\t' 'NF >= 2 { print $2 }')
forbidden=$(grep -E '^(cmov|fcmov|f[a-z0-9]+|emms|femms|ldmxcsr|stmxcsr|[lms]fence|movnti|prefetch|popcnt|lzcnt|tzcnt|movbe|crc32|sysenter|sysexit|rdpmc)|%(st|mm|xmm|ymm)' <<<"$code" | sort | uniq -c || true)
if [[ -z $forbidden ]]; then
  ok "no CMOV, x87, MMX or SSE instructions ($(wc -l <<<"$code") instructions)"
else
  fail "instructions a Pentium lacks or the kernel does not allow: $(tr -s ' \n' ' ' <<<"$forbidden")"
fi

# No section both writable and executable.
wx=$(awk '/^ *[0-9]+ / { name = $2; next } name != "" { if (/CODE/ && !/READONLY/) print name; name = "" }' <<<"$sections")
if [[ -z $wx ]]; then
  ok "no section both writable and executable"
else
  fail "sections both writable and executable: $wx"
fi

if checksum=$("$python" "$here/pe-checksum.py" "$image"); then
  ok "PE checksum valid ($checksum)"
else
  fail "PE checksum invalid ($checksum)"
fi

if usage=$("$python" "$here/stack-usage.py" "$build_dir" "$max_frame" "$max_chain"); then
  ok "stack use within limits"$'\n'"$usage"
else
  fail "stack use"$'\n'"$usage"
fi

# The INF built beside the image: CRLF line endings throughout.
inf="$build_dir/kwdrv.inf"
if [[ ! -f $inf ]]; then
  ok "no kwdrv.inf in $build_dir to check"
elif [[ $(grep -c $'\r$' "$inf") -eq $(wc -l <"$inf") && $(tail -c 2 "$inf" | od -An -c | tr -d ' ') == '\r\n' ]]; then
  ok "kwdrv.inf has CRLF line endings"
else
  fail "kwdrv.inf has lines without CRLF endings"
fi

if [[ $failures -ne 0 ]]; then
  echo "check-sys: $image: $failures check(s) failed" >&2
  exit 1
fi
echo "check-sys: $image: all checks passed"
