#!/usr/bin/env bash
# check-package.sh FOLDER - checks that the package folder (cmake --build build-sys --target
# package) holds what a Windows machine needs: the driver image and its INF (CRLF line endings),
# kwtool.exe, the public header and the install note; each a PE image or text as it should be.
set -euo pipefail
dir=${1:?usage: check-package.sh FOLDER}
failures=0
fail() { echo "check-package: FAIL: $*" >&2; failures=$((failures + 1)); }
for f in kwdrv.sys kwdrv.inf kwtool.exe include/kwdrv_ioctl.h INSTALL.md; do
  [[ -s $dir/$f ]] || fail "$f is missing or empty"
done
for f in kwdrv.sys kwtool.exe; do
  [[ -s $dir/$f && $(head -c 2 "$dir/$f") == MZ ]] || fail "$f is not a PE image"
done
if [[ -s $dir/kwdrv.inf ]] && grep -qv $'\r$' "$dir/kwdrv.inf"; then fail "kwdrv.inf has lines without CRLF"; fi
grep -qs 'IOCTL_KW_GET_DEVICE_DESCRIPTOR' "$dir/include/kwdrv_ioctl.h" || fail "kwdrv_ioctl.h lacks the control codes"
grep -qs 'kwtool' "$dir/INSTALL.md" || fail "INSTALL.md says nothing of kwtool"
if [[ $failures -ne 0 ]]; then
  echo "check-package: $failures check(s) FAILED" >&2
  exit 1
fi
echo "check-package: $dir holds kwdrv.sys, kwdrv.inf, kwtool.exe, include/kwdrv_ioctl.h, INSTALL.md"
