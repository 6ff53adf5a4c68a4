#!/usr/bin/env bash
# lab/flash-throughput.sh [RUNS] [IMAGE_MIB]: the firmware transfer benchmark
# of bench/flash-throughput.sh on the lab device, as root.
#
# The host's mfgstation flashes an image (8 MiB unless told; as in the host's
# benchmark, "Kernel" grows to hold it) over the tap device into the guest,
# once to the service (mfglinkd of the device build, its output to a file in
# /tmp, then mtd_write onto the real MTD partition) and once to
# baseline_responder (cross-built: it answers each request at once and does
# nothing else), RUNS times (default 5), interleaved. The figure of a run is the rate mfgstation reports for the
# chunks; chunks fill the network card's 1500-byte MTU (1492 bytes); the
# station is told the image's size as its largest (--max-size). Prints
# every run, the medians and the ratio service/baseline. Under emulation the
# absolute rates say little; the ratio of the same run is the figure.
#
# Uses the builds as they are: the device build LAB_BUILD (build/mipsel, the
# mipsel preset, unless set; build/mipsel-uclibc runs it on the device's 24KEc),
# with lab/fetch's cache, and the host preset (mfgstation).
set -euo pipefail
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/../bench/lib.sh"
cd "$LAB_TOP"

runs=${1:-5}
mib=${2:-8}
[ -x "$QV_HOST_BIN/mfgstation" ] ||
  { echo "lab/flash-throughput: $QV_HOST_BIN/mfgstation is missing; build the host preset first" >&2; exit 2; }
build=${LAB_BUILD:-build/mipsel}
[ -r "$build/CMakeCache.txt" ] ||
  { echo "lab/flash-throughput: build $build first (lab/fetch, then cmake --preset mipsel, or the preset that builds it)" >&2; exit 2; }

work=$(mktemp -d "$LAB_TOP/build/lab/bench.XXXXXX")
trap 'lab_stop; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
LAB_TIME_LIMIT=3600
lab_flash "$work/flash" --kernel-size $((mib * 1048576 > 4194304 ? mib * 1048576 : 4194304))
lab_rootfs "$build" "$work" "$work/flash"
lab_start "$work" "$work/flash"
lab_wait_ready 1
# listening NAME: waits until the process NAME holds its packet socket and
# keeps its pid; ended: until that process has ended (gone, or a zombie
# that the guest's shell has not reaped yet).
lab_run 'listening() { n=0; while [ $n -lt 200 ]; do for peer in $(pidof $1); do
	ls -l /proc/$peer/fd 2>/dev/null | grep -q "socket:" && return 0; done; sleep 0.05; n=$((n + 1)); done; return 1; }
	gone() { ! read -r _ _ state _ 2>/dev/null </proc/$peer/stat || [ "$state" = Z ]; }
	ended() { n=0; while ! gone && [ $n -lt 200 ]; do sleep 0.05; n=$((n + 1)); done; gone; }'
# Only one party answers at a time: the start-up's service ends first.
lab_run 'listening mfglinkd' >/dev/null
lab_station connect quit >/dev/null
lab_run ended

img=$work/image
head -c $((mib * 1048576)) /dev/urandom >"$img"

# failed WHAT: the reason, what the station printed, the guest's state.
failed() {
  {
    echo "lab/flash-throughput: $1:"
    grep -v 'bytes sent' "$work/station.out"
    lab_run 'ps | grep -v "\["; grep -E "eth0|br0" /proc/net/dev; tail -c 300 /tmp/service.out; echo; dmesg | tail -n 5; cat /proc/net/packet; for p in $(pidof baseline_responder mfglinkd); do echo "$p $(cat /proc/$p/wchan) $(cut -d" " -f3 /proc/$p/stat)"; done; cat /proc/interrupts'
    ip -n "$LAB_NS" -s -s link show lab0
  } >&2
  exit 1
}

# one_run KIND: prints the chunk rate in MiB/s of one flash to KIND.
one_run() {
  if [ "$1" = service ]; then
    lab_run 'mfglinkd >/tmp/service.out 2>&1; listening mfglinkd' >/dev/null
  else
    lab_run 'baseline_responder -i br0 >/dev/null 2>&1 & listening baseline_responder' >/dev/null
  fi || { echo "lab/flash-throughput: the $1 did not start" >&2; exit 1; }
  lab_station --max-size "$((mib * 1048576))" connect flash "$img" quit >"$work/station.out" 2>&1 || failed "mfgstation failed against the $1"
  lab_run ended || failed "the $1 did not end after quit"
  if [ "$1" = service ] && ! cmp -s -n "$((mib * 1048576))" "$img" "$work/flash/Kernel.img"; then
    echo "lab/flash-throughput: the Kernel partition does not hold the image" >&2
    exit 1
  fi
  sed -n 's/^flash: [0-9]* of [0-9]* bytes sent (100%), \([0-9.]*\) MiB\/s$/\1/p' "$work/station.out" | tail -n 1
}

echo "lab/flash-throughput: $mib MiB image into the lab device ($(cat "$LAB_CACHE/kernel.release"), qemu TCG, -cpu $LAB_CPU, $build), $runs runs of each, interleaved"
bench_interleave "$runs" "$work"
lab_poweroff
bench_ratios "$work"
