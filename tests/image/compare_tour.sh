#!/bin/sh
# compare_tour.sh KWSIM IMAGE OUTDIR [EMULATOR]: runs the kwsim tour on the host-built driver and
# on the kwdrv.sys image; both must succeed and print the same steps.
set -eu
kwsim=$1 image=$2 out=$3 emulator=${4:-}
$emulator "$kwsim" > "$out/tour-host.txt"
$emulator "$kwsim" --image "$image" > "$out/tour-image.txt"
diff -u "$out/tour-host.txt" "$out/tour-image.txt"
echo "compare_tour: the tour on $image matches the host-built driver's"
