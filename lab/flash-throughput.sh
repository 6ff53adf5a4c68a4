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
# Only one party answers at a time: the start-up's service ends first. The
# network card's link may come up after the start-up (under -icount, a minute
# of the guest's time later): the runs wait for it.
lab_run 'listening mfglinkd && kill $peer; ended' >/dev/null
lab_run 'n=0; while [ "$(cat /sys/class/net/eth0/carrier)" != 1 ] && [ $n -lt 1200 ]; do sleep 0.1; n=$((n + 1)); done; [ $n -lt 1200 ]' ||
  failed "the network card's link did not come up"

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
  # The party's own processor time (the kernel's schedstat, in nanoseconds of
  # the guest's clock), sampled until it ends: a zombie keeps its last figure.
  # With it the share in user mode, from the clock ticks (utime, stime).
  lab_run 'rm -f /tmp/cpu; (while read -r t _ </proc/$peer/schedstat && read -r _ _ _ _ _ _ _ _ _ _ _ _ _ u k _ </proc/$peer/stat; do
	echo $t $u $k >/tmp/cpu; sleep 0.1; done) 2>/dev/null &' >/dev/null
  lab_station --max-size "$((mib * 1048576))" connect flash "$img" quit >"$work/station.out" 2>&1 || failed "mfgstation failed against the $1"
  lab_run ended || failed "the $1 did not end after quit"
  if [ "$1" = service ] && ! cmp -s -n "$((mib * 1048576))" "$img" "$work/flash/Kernel.img"; then
    echo "lab/flash-throughput: the Kernel partition does not hold the image" >&2
    exit 1
  fi
  lab_run 'sleep 0.2; cat /tmp/cpu' | tr -d '\r' | awk -v n="$chunks" '{ print int($1 / n), ($2 + $3 ? $2 / ($2 + $3) : 0) }' >>"$work/$1.cpu"
  sed -n 's/^flash: [0-9]* of [0-9]* bytes sent (100%), \([0-9.]*\) MiB\/s$/\1/p' "$work/station.out" | tail -n 1
}
chunks=$(((mib * 1048576 + 1491) / 1492))

echo "lab/flash-throughput: $mib MiB image into the lab device ($(cat "$LAB_CACHE/kernel.release"), qemu TCG, -cpu $LAB_CPU, $build), $runs runs of each, interleaved"
bench_interleave "$runs" "$work"
lab_poweroff
bench_ratios "$work"
# Processor time per chunk inside the guest. Under "-icount shift=0 -rtc
# clock=vm" (LAB_QEMU_OPTS) the guest's clock advances one nanosecond per
# instruction, so the figure counts instructions whatever the host's load (the
# real-time clock must follow the same clock: the kernel measures its timer's
# rate against it at boot, and with the host's it takes one nanosecond for
# thirty instructions or so, as busy as the host is); at the RT3052's
# 384 MHz, at best one instruction a cycle, against a full chunk's 125 us on the
# device's 100 Mbit/s wire.
s=$(cut -d' ' -f1 "$work/service.cpu" | median)
b=$(cut -d' ' -f1 "$work/baseline.cpu" | median)
su=$(cut -d' ' -f2 "$work/service.cpu" | median)
bu=$(cut -d' ' -f2 "$work/baseline.cpu" | median)
icount=
case ${LAB_QEMU_OPTS:-} in *icount*clock=vm* | *clock=vm*icount*) icount=1 ;; esac
awk -v s="$s" -v b="$b" -v su="$su" -v bu="$bu" -v icount="$icount" 'BEGIN {
  unit = icount ? "instructions" : "ns of guest processor time"
  printf "per chunk: service %d, baseline %d %s (median of the runs), service/baseline %.2f\n", s, b, unit, s / b
  printf "in user mode (clock ticks): service %.0f%%, baseline %.0f%%\n", 100 * su, 100 * bu
  if (icount)
    printf "at 384 MHz: service %.1f us, baseline %.1f us per chunk, %.0f%% and %.0f%% of the wire'"'"'s 125 us\n",
      s / 384, b / 384, 100 * s / 384 / 125, 100 * b / 384 / 125 }'
