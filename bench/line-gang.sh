#!/usr/bin/env bash
# line-gang.sh [DEVICES] [IMAGE_MIB] [RUNS]: a production line programmed one
# device after another against all devices at once.
#
# A simulated line (scripts/link-netns.sh, line_netns_up): the station's
# namespace with the segment's bridge and the station's interface st0, and
# DEVICES devices (8 unless told), each a namespace of its own with its bridge
# br0 and mfglinkd (foreground build) on a device root in a RAM file system, all
# links with an MTU of 1522 so that chunks are full. Every device gets
# "connect write-sn @next flash IMAGE reboot quit" with an image of IMAGE_MIB MiB
# (4 unless told): one after another, one mfgstation per device (--device MAC),
# and all at once, one mfgstation for all (--device MAC repeated). RUNS rounds
# (3 unless told) of each, alternating which goes first. After every round each
# device's "Kernel" partition must hold the image byte for byte and every record
# must say passed. Prints the wall time of every round, the medians and the
# ratio all-at-once / one-after-another. LINE_GANG_TIMEOUT_MS sets mfgstation's
# reply time-out (-t) (2000 ms unless told). Needs root (network namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/link-netns.sh
. bench/lib.sh

n=${1:-8}
mib=${2:-4}
runs=${3:-3}
bin=${QV_BIN_DIR:-build/host/bin}
bench_need line-gang mfglinkd_fg mfgstation make-device-root

name=qvgang-$$
work=$(mktemp -d /dev/shm/qvgang-XXXXXX)
cleanup() {
  bench_devices_stop
  line_netns_down "$name" "$n"
  rm -rf "$work"
}
trap cleanup EXIT

line_netns_up "$name" "$n" 1522
img=$work/image
head -c $((mib * 1048576)) /dev/urandom >"$img"
kernel_size=$((mib * 1048576 > 4194304 ? mib * 1048576 : 4194304))
macs=()
for k in $(seq "$n"); do macs+=("$(printf '02:00:00:00:01:%02x' "$k")"); done

# A fresh device root and service for every device: erased partitions, nothing staged.
start_services() {
  local k
  for k in $(seq "$n"); do bench_device_start "$name-d$k" "$work/d$k" "$kernel_size"; done
  bench_devices_ready
}

# check_round KIND: every Kernel holds the image, every record passed.
check_round() {
  local k kernel
  for k in $(seq "$n"); do
    kernel=$work/d$k/dev/$(awk -F: '/"Kernel"/ {print $1}' "$work/d$k/proc/mtd")
    cmp -s -n "$((mib * 1048576))" "$img" "$kernel" ||
      { echo "line-gang: $1: the Kernel partition of device $k does not hold the image" >&2; exit 1; }
  done
  local passed
  passed=$(grep -c '"result":"passed"' "$work/record.jsonl" || true)
  [ "$passed" -eq "$n" ] || { echo "line-gang: $1: $passed of $n records passed" >&2; exit 1; }
}

station=("$bin/mfgstation" -i st0 -t "${LINE_GANG_TIMEOUT_MS:-2000}" --chunk-size 1514 --sn-pattern "QVB-%06d" --db "$work/line.db")
commands=(connect write-sn @next flash "$img" reboot quit)

# one_round KIND: round_time := the wall time in seconds of programming every device.
one_round() {
  start_services
  : >"$work/record.jsonl"
  local start end k args=()
  start=$(date +%s.%N)
  if [ "$1" = serial ]; then
    for k in $(seq "$n"); do
      ip netns exec "$name-st" "${station[@]}" --record "$work/record.jsonl" --device "${macs[k - 1]}" \
        "${commands[@]}" >"$work/station.out" 2>&1 ||
        { echo "line-gang: mfgstation failed on device $k:" >&2; cat "$work/station.out" >&2; exit 1; }
    done
  else
    for k in $(seq "$n"); do args+=(--device "${macs[k - 1]}"); done
    ip netns exec "$name-st" "${station[@]}" --record "$work/record.jsonl" "${args[@]}" "${commands[@]}" \
      >"$work/station.out" 2>&1 ||
      { echo "line-gang: mfgstation failed:" >&2; cat "$work/station.out" >&2; exit 1; }
  fi
  end=$(date +%s.%N)
  bench_devices_stop
  check_round "$1"
  round_time=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }')
}

echo "line-gang: $n devices, $mib MiB image, chunks of 1514 bytes, MTU 1522, reply time-out ${LINE_GANG_TIMEOUT_MS:-2000} ms, $runs rounds of each"
: >"$work/serial.times"
: >"$work/parallel.times"
for i in $(seq "$runs"); do
  for kind in serial parallel; do
    [ $((i % 2)) -eq 0 ] && kind=$([ "$kind" = serial ] && echo parallel || echo serial)
    one_round "$kind"
    echo "$round_time" >>"$work/$kind.times"
    printf 'round %d %-18s %8s s\n' "$i" "$([ "$kind" = serial ] && echo "one after another" || echo "all at once")" "$round_time"
  done
done
s=$(median <"$work/serial.times")
p=$(median <"$work/parallel.times")
awk -v s="$s" -v p="$p" -v n="$n" 'BEGIN {
  printf "median: one after another %.3f s, all at once %.3f s; every image byte-identical on all %d devices\n", s, p, n
  printf "ratio all at once / one after another: %.2f (target <= 0.6)\n", p / s }'
