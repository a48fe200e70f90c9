#!/bin/sh
# compare_tour.sh KWSIM IMAGE OUTDIR [EMULATOR]: runs the kwsim tour on the host-built driver and
# on the kwdrv.sys image; both must succeed and print the same steps. The verifier's counters
# (completions walked, waits) follow thread timing where a cancel races a completion, so of its
# summary only the findings are compared.
set -eu
kwsim=$1 image=$2 out=$3 emulator=${4:-}
$emulator "$kwsim" > "$out/tour-host.txt"
$emulator "$kwsim" --image "$image" > "$out/tour-image.txt"
findings_only='s/summary: verifier: .*; findings:/summary: verifier: findings:/'
sed "$findings_only" "$out/tour-host.txt" > "$out/tour-host.steps"
sed "$findings_only" "$out/tour-image.txt" > "$out/tour-image.steps"
diff -u "$out/tour-host.steps" "$out/tour-image.steps"
echo "compare_tour: the tour on $image matches the host-built driver's"
