#!/usr/bin/env bash
# flash-throughput.sh [RUNS] [IMAGE_MIB]: firmware transfer speed of the service
# against a baseline, over a veth pair.
#
# A private network namespace holds the bridge br0 with the veth port p0 and the
# station's end st0, both with an MTU of 1522 so that chunks are full (1514 data
# bytes). mfgstation flashes an image (8 MiB unless told) once to the service
# (mfglinkd, foreground build, on a simulated device root in a RAM file system)
# and once to baseline_responder, which answers each request at once with a reply
# of the service's size and does nothing else; RUNS times (default 5), the two
# interleaved, since the placement of the two processes on the CPUs moves the
# absolute figures a lot. The rate is the one mfgstation reports for the chunks
# (from the first chunk to the last reply). The station is told the image's size
# as its largest (--max-size), since it refuses images over 4 MiB unless told.
# Prints the MiB/s of every run, the medians and the ratio service/baseline.
# Needs root (network namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/link-netns.sh
. bench/lib.sh

runs=${1:-5}
mib=${2:-8}
bin=${QV_BIN_DIR:-build/host/bin}
bench_need flash-throughput mfglinkd_fg mfgstation baseline_responder make-device-root

ns=qvbench-$$
work=$(mktemp -d /dev/shm/qvbench-XXXXXX)
svc=
cleanup() {
  if [ -n "$svc" ] && kill -0 "$svc" 2>/dev/null; then kill "$svc" 2>/dev/null || true; wait "$svc" 2>/dev/null || true; fi
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

link_netns_up "$ns" 1522

img=$work/image
head -c $((mib * 1048576)) /dev/urandom >"$img"
root=$work/device
"$bin/make-device-root" "$root" --kernel-size $((mib * 1048576 > 4194304 ? mib * 1048576 : 4194304))
kernel=$root/dev/$(awk -F: '/"Kernel"/ {print $1}' "$root/proc/mtd")

# one_run KIND: prints the chunk rate in MiB/s of one flash to KIND.
one_run() {
  if [ "$1" = service ]; then
    : >"$root/var/log/platform.log"
    ip netns exec "$ns" env QV_DEVICE_ROOT="$root" ${QV_BENCH_WRAP:-} "$bin/mfglinkd_fg" >"${QV_BENCH_OUT:-$work/service.out}" 2>&1 &
  else
    ip netns exec "$ns" "$bin/baseline_responder" -i br0 >"$work/baseline.out" 2>&1 &
  fi
  svc=$!
  netns_wait_socket "$svc"
  ip netns exec "$ns" "$bin/mfgstation" -i st0 --chunk-size 1514 --max-size "$((mib * 1048576))" connect flash "$img" quit >"$work/station.out" 2>&1 || {
    echo "flash-throughput: mfgstation failed against the $1:" >&2
    cat "$work/station.out" >&2
    exit 1
  }
  wait "$svc" || true
  svc=
  if [ "$1" = service ] && ! cmp -s -n "$((mib * 1048576))" "$img" "$kernel"; then
    echo "flash-throughput: the Kernel partition does not hold the image" >&2
    exit 1
  fi
  sed -n 's/^flash: [0-9]* of [0-9]* bytes sent (100%), \([0-9.]*\) MiB\/s$/\1/p' "$work/station.out" | tail -n 1
}

echo "flash-throughput: $mib MiB image, chunks of 1514 bytes, MTU 1522, $runs runs of each, interleaved"
bench_interleave "$runs" "$work"
bench_ratios "$work" " (target >= 0.9)"
