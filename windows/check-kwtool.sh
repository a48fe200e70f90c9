#!/usr/bin/env bash
# check-kwtool.sh kwtool.exe - checks that a built kwtool.exe runs on 32-bit Windows XP and 7
# with nothing installed beside it:
#   - PE32 for i386, console subsystem, subsystem and OS version 5.01 or lower (XP loads
#     nothing newer)
#   - entry point is kwtool's own (_KwToolEntry): no C runtime start-up
#   - imports from KERNEL32.dll and SETUPAPI.dll only, and only routines those DLLs export on
#     Windows XP (the list below; a new call is added here once checked against XP)
#   - base relocations present; no section both writable and executable
# Prints what it checked; exits non-zero if any check failed.
set -euo pipefail

image=${1:?usage: check-kwtool.sh kwtool.exe}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}
[[ -f $image ]] || { echo "check-kwtool: $image: no such file" >&2; exit 1; }

headers=$("$objdump" -p "$image")
failures=0
fail() { echo "check-kwtool: FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "check-kwtool: ok: $*"; }

# What Windows XP SP3's kernel32.dll and setupapi.dll export, of what kwtool may call.
xp_routines="kernel32.dll CancelIo
kernel32.dll CloseHandle
kernel32.dll CreateEventW
kernel32.dll CreateFileW
kernel32.dll DeviceIoControl
kernel32.dll ExitProcess
kernel32.dll GetCommandLineA
kernel32.dll GetLastError
kernel32.dll GetOverlappedResult
kernel32.dll GetStdHandle
kernel32.dll QueryPerformanceCounter
kernel32.dll QueryPerformanceFrequency
kernel32.dll ReadFile
kernel32.dll SetLastError
kernel32.dll VirtualAlloc
kernel32.dll VirtualFree
kernel32.dll WaitForSingleObject
kernel32.dll WriteFile
setupapi.dll SetupDiDestroyDeviceInfoList
setupapi.dll SetupDiEnumDeviceInterfaces
setupapi.dll SetupDiGetClassDevsW
setupapi.dll SetupDiGetDeviceInterfaceDetailW"

if grep -q 'file format pei-i386' <<<"$headers"; then ok "PE32 for i386"; else fail "not a PE32 i386 image"; fi
if grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$headers"; then ok "console subsystem"; else fail "not a console program"; fi
for field in MajorSubsystemVersion MajorOSystemVersion; do
  minor=${field/Major/Minor}
  version="$(awk -v f="$field" '$1 == f { print $2 }' <<<"$headers").$(awk -v f="$minor" '$1 == f { print $2 }' <<<"$headers")"
  if awk -v v="$version" 'BEGIN { split(v, p, "."); exit !(p[1] < 5 || (p[1] == 5 && p[2] <= 1)) }'; then
    ok "$field.$minor $version (XP loads it)"
  else
    fail "$field.$minor $version is newer than XP's 5.1"
  fi
done

entry=$(awk '$1 == "AddressOfEntryPoint" { print $2 }' <<<"$headers")
base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")
symbol=$("$nm" "$image" 2>/dev/null | awk -v a="$(printf '%08x' $((16#$base + 16#$entry)))" 'tolower($1) == a { print $3 }')
if [[ $symbol == _KwToolEntry ]]; then ok "entry point _KwToolEntry"; else fail "entry point is '${symbol:-unknown}', not _KwToolEntry"; fi

mapfile -t dlls < <(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers" | sort -u)
if [[ "${dlls[*]}" == "kernel32.dll setupapi.dll" ]]; then
  ok "imports from kernel32.dll and setupapi.dll only"
else
  fail "imports from: ${dlls[*]} (only kernel32.dll and setupapi.dll are allowed)"
fi
imports=$(awk '/DLL Name:/ { dll = tolower($3); next }
  dll != "" && NF >= 3 && $1 ~ /^[0-9a-f]+$/ { print dll, $3 } /^$/ { dll = "" }' <<<"$headers")
unknown=$(grep -vxF -f <(printf '%s\n' "$xp_routines") <<<"$imports" || true)
if [[ -n $imports && -z $unknown ]]; then
  ok "$(wc -l <<<"$imports") imported routines, all exported by Windows XP"
else
  fail "routines not known to be on Windows XP: $(tr '\n' ' ' <<<"${unknown:-none imported}")"
fi

if grep -q 'DLL Name' <<<"$headers" && "$objdump" -h "$image" | grep -q '\.reloc'; then
  ok "base relocations present"
else
  fail "no base relocations"
fi
sections=$("$objdump" -h "$image")
wx=$(awk '/^ *[0-9]+ / { name = $2; next } name != "" { if (/CODE/ && !/READONLY/) print name; name = "" }' <<<"$sections")
if [[ -z $wx ]]; then ok "no section both writable and executable"; else fail "sections both writable and executable: $wx"; fi

if [[ $failures -ne 0 ]]; then
  echo "check-kwtool: $failures check(s) FAILED" >&2
  exit 1
fi
echo "check-kwtool: all checks passed"
